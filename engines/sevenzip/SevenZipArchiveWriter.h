#pragma once

#include "engines/sevenzip/container/SevenZipHeaderWriter.h"
#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexa {

// A new 7z archive written into a SevenZipVolumeWriter by the project's own container writer.
// Entries go in one at a time: a header, then exactly the announced number of data bytes. Level 0
// stores, 1 to 9 are LZMA2 levels. File data is cut into segments that worker threads compress
// at once; the segments of one folder (solid block) form one LZMA2 stream, and a new folder
// starts at the first file boundary after four segments (16 MiB when stored). With the data's
// expected size, the segments are cut so that the last ones keep every encoder busy. The header
// is LZMA2-compressed
// too (from level 1). With a password every folder's data is AES-256 encrypted after
// compression (random salt, one IV per folder, 2^19 key rounds), and with `encryptHeaders` the
// header too, which hides the names. Use it from one thread. Failures: CancellationError when the
// progress is cancelled, the sink's PlatformError, otherwise ArchiveFailure::sevenZipFailure.
class SevenZipArchiveWriter {
  public:
    SevenZipArchiveWriter(const std::filesystem::path& location, std::int64_t volumeSize, int level,
                          const std::optional<std::string>& password, bool encryptHeaders,
                          Progress& progress, std::uint64_t expectedInput = 0);
    ~SevenZipArchiveWriter();
    SevenZipArchiveWriter(const SevenZipArchiveWriter&) = delete;
    SevenZipArchiveWriter& operator=(const SevenZipArchiveWriter&) = delete;

    // `path` without a trailing "/" for folders.
    void beginEntry(const std::string& path, files::FileType type, std::int64_t size,
                    mode_t permissions, std::optional<files::FileTime> modificationDate);
    // An entry of another archive written again, with the header's own attributes and time;
    // `emptyStream`: a file of no bytes that had a stream of its own keeps one.
    void beginCopiedEntry(const std::string& path, files::FileType type, std::int64_t size,
                          std::uint32_t attributes, std::optional<std::uint64_t> modificationTime,
                          bool emptyStream = false);
    void writeData(const void* data, std::size_t size);
    // A folder of another archive copied as it is: `folder` holds its coders, sizes and CRCs
    // (packSize included); its packed bytes follow through writeRawData, then the files of its
    // streams, in order, through addRawFile.
    void beginRawFolder(const SevenZipFolderRecord& folder);
    void writeRawData(const void* data, std::size_t size);
    void addRawFile(const std::string& path, std::uint32_t attributes,
                    std::optional<std::uint64_t> modificationTime);

    // Writes the archive's headers and closes the last part.
    void finish();

    const std::vector<std::filesystem::path>& parts() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa
