#pragma once

#include "platform/FileOperations.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vexa {

// The part files of a volume set as one seekable byte stream, in order.
class SevenZipVolumeStream {
  public:
    // Opens every part; a part that is missing or may not be read throws
    // ArchiveFailure::missingVolume carrying its file name, other errors PlatformError.
    explicit SevenZipVolumeStream(const std::vector<std::filesystem::path>& parts);

    std::int64_t size() const { return total_; }
    std::int64_t position() const { return position_; }

    // Up to `size` bytes from the current position, crossing into the next part as needed;
    // 0 at the end. A read error throws PlatformError.
    std::size_t read(void* buffer, std::size_t size);
    // Exactly `size` bytes at `offset`, without moving the position; safe from several threads.
    // A read error, or a range past the end, throws PlatformError.
    void readAt(std::int64_t offset, void* buffer, std::size_t size) const;
    // lseek's contract over the whole stream; -1 for a position outside it.
    std::int64_t seek(std::int64_t offset, int whence);

  private:
    struct Part {
        std::filesystem::path location;
        files::FileDescriptor descriptor;
        std::int64_t start = 0;
        std::int64_t size = 0;
    };
    std::vector<Part> parts_;
    std::int64_t total_ = 0;
    std::int64_t position_ = 0;
};

} // namespace vexa
