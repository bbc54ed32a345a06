#pragma once

#include "core/archive/ArchiveItem.h"
#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexa {

struct SevenZipOpenArchive;

struct SevenZipEntry {
    ArchiveItem item; // folders end in "/"
    files::FileType type = files::FileType::regular;
    mode_t permissions = 0; // rwx bits only; 0644 and 0755 where the archive has none
    std::optional<files::FileTime> modificationDate;
    // The header's own fields, which a copy into another archive keeps exactly: the attributes
    // and the modification time in 100 ns ticks since 1601.
    std::optional<std::uint32_t> attributes;
    std::optional<std::uint64_t> modificationTime;
    // A file of no bytes stored as a stream of its own (py7zr writes them so).
    bool emptyStream = false;
};

// One pass over a 7z archive (all its parts), entry after entry, in archive order. Reads
// through the container layer; the data of unencrypted archives with coders that layer lacks
// comes through libarchive instead, under the entries as the header stores them (libarchive
// gives names composed). `password` is tried in its variants (passwordVariants) unless `exact`.
// Failures: CancellationError when the progress is cancelled; missingVolume for a part that is
// absent or unreadable; passwordRequired / wrongPassword for encrypted headers or data (data
// that does not decode or fails its CRC in an encrypted folder is wrongPassword);
// unsupported7z for unknown methods; sevenZipFailure for a damaged archive; corrupt(path) for
// damaged entry data.
class SevenZipReader {
  public:
    SevenZipReader(const std::vector<std::filesystem::path>& volumes, Progress& progress,
                   const std::optional<std::string>& password = std::nullopt, bool exact = false);
    // Over an archive already opened, which it then owns.
    SevenZipReader(SevenZipOpenArchive open, Progress& progress);
    ~SevenZipReader();
    SevenZipReader(const SevenZipReader&) = delete;
    SevenZipReader& operator=(const SevenZipReader&) = delete;

    // The next entry, or nothing after the last one.
    std::optional<SevenZipEntry> next();
    // The current entry's data in order, up to `size` bytes at a time; 0 at its end, after its
    // CRC has been checked.
    std::size_t read(void* buffer, std::size_t size);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa
