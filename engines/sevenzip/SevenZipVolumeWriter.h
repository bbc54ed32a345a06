#pragma once

#include "platform/FileOperations.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vexa {

// The byte sink of a 7z writer. With a volume size of 0 everything goes to `location`; otherwise
// the bytes are cut into parts of exactly `volumeSize` bytes (the last one shorter) named
// `location` + ".001", ".002", ... Every file is created new, never over an existing item.
// Failures throw PlatformError; what was written is left for the caller's clean-up.
class SevenZipVolumeWriter {
  public:
    SevenZipVolumeWriter(std::filesystem::path location, std::int64_t volumeSize);

    void write(const void* data, std::size_t size);
    // Writes `data` over the first bytes of the first part, which must already hold them.
    void overwriteStart(const void* data, std::size_t size);
    // Closes the last file, reporting delayed write errors; at least one file exists after it.
    void close();

    // The files written so far, in order.
    const std::vector<std::filesystem::path>& parts() const { return parts_; }

  private:
    void openNextPart();

    std::filesystem::path location_;
    std::int64_t volumeSize_;
    std::vector<std::filesystem::path> parts_;
    files::FileDescriptor current_;
    std::int64_t writtenInPart_ = 0;
};

// The name of part `number` (from 1) of a set: "name.7z" gives "name.7z.001".
std::filesystem::path sevenZipVolumeName(const std::filesystem::path& location,
                                         std::uint64_t number);

} // namespace vexa
