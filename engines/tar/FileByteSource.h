#pragma once

#include "ByteSource.h"
#include "FileIdentity.h"
#include "GrowingFile.h"
#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <cstdint>
#include <ctime>
#include <filesystem>

namespace vexa::tar {

// An archive file read from its start. Polls the progress object's cancellation before every
// read and, when asked, reports the bytes read as completed units, so that listing a large
// archive moves and can be stopped.
class FileByteSource : public ByteSource {
  public:
    // Throws PlatformError when the file cannot be opened. With `growing`, the file is still
    // being written: reads wait for its writer and end where it ended.
    FileByteSource(const std::filesystem::path& location, Progress& progress, bool countsUnits,
                   GrowingFile* growing = nullptr);

    std::size_t read(char* buffer, std::size_t capacity) override;
    // Moves forward without reading, never past the end; answers how far it moved, or -1 when
    // the file cannot seek (then read instead).
    std::int64_t skip(std::int64_t count);

    // The first bytes of the file, wherever reading stands; fewer when the file is shorter.
    std::size_t peekStart(char* buffer, std::size_t capacity);

    std::int64_t size() const { return size_; }
    int descriptor() const { return descriptor_.get(); }
    const struct timespec& modificationTime() const { return identity_.modified; }
    // The file as it was when opened.
    const FileIdentity& identity() const { return identity_; }
    const std::filesystem::path& location() const { return location_; }

  private:
    void advance(std::int64_t count);
    // Waits until the growing file holds more than `position` bytes or is complete.
    void awaitBeyond(std::int64_t position);

    std::filesystem::path location_;
    files::FileDescriptor descriptor_;
    Progress& progress_;
    bool countsUnits_;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    GrowingFile* growing_;
    bool complete_ = true; // a growing file: its writer has finished
    FileIdentity identity_;
};

} // namespace vexa::tar
