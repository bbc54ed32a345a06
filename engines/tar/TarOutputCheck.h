#pragma once

#include "GrowingFile.h"
#include "core/archive/SourceEntries.h"
#include "core/archive/TarCompression.h"
#include "platform/Progress.h"

#include <exception>
#include <filesystem>
#include <string>
#include <thread>

namespace vexa::tar {

// A name for a file being written that tells the reader what it holds ("archivo.tar.gz",
// "archivo.gz"), whatever the name of its final place.
std::string workFileName(TarCompression compression, bool singleFile);

// Every entry of a written archive with its size and the CRC-32 of its data, read in one pass
// that adds each byte read (and 1 per folder or empty file) to the completed units. A hard link
// to an earlier file reads as that file under the link's name; a symbolic link, a special entry
// or another hard link throws ArchiveFailure::tarFailure carrying `mismatch`.
ReadBackEntries readBack(const std::filesystem::path& archive, Progress& progress,
                         const std::string& mismatch, GrowingFile* growing = nullptr);

// readBack on a thread of its own, following a file while its writer writes it, so that the
// check costs little more than the writing. The writer must have created the file and must
// report to `growing`.
class ReadBackWhileWriting {
  public:
    ReadBackWhileWriting(const std::filesystem::path& archive, Progress& progress,
                         const std::string& mismatch, GrowingFile& growing);
    // Stops the reader when its result was not taken (the writing failed).
    ~ReadBackWhileWriting();
    ReadBackWhileWriting(const ReadBackWhileWriting&) = delete;
    ReadBackWhileWriting& operator=(const ReadBackWhileWriting&) = delete;

    // Waits for the reader, once the writer has finished; throws what it threw.
    ReadBackEntries result();

  private:
    GrowingFile& growing_;
    ReadBackEntries entries_;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace vexa::tar
