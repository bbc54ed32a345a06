#pragma once

#include "core/archive/ArchiveItem.h"
#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace vexa {

struct SevenZipEntry {
    ArchiveItem item; // folders end in "/"
    files::FileType type = files::FileType::regular;
    mode_t permissions = 0; // rwx bits only; 0644 and 0755 where the archive has none
    std::optional<files::FileTime> modificationDate;
};

// One pass over a 7z archive (all its parts) through libarchive. Use it on one thread: it sets
// that thread's locale to UTF-8 for its lifetime so that entry names read the same whatever the
// process locale. Failures: CancellationError when the progress is cancelled; missingVolume for
// a part that is absent or unreadable (including one missing from the middle or end of a set);
// unsupported7z for encryption and unknown methods; sevenZipFailure for a damaged archive;
// corrupt(path) for damaged entry data.
class SevenZipReader {
  public:
    SevenZipReader(const std::vector<std::filesystem::path>& volumes, Progress& progress);
    ~SevenZipReader();
    SevenZipReader(const SevenZipReader&) = delete;
    SevenZipReader& operator=(const SevenZipReader&) = delete;

    // The next entry, or nothing after the last one.
    std::optional<SevenZipEntry> next();
    // The current entry's data in order, up to `size` bytes at a time; 0 at its end.
    std::size_t read(void* buffer, std::size_t size);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa
