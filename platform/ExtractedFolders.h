#pragma once

#include "platform/FileOperations.h"

#include <mutex>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace vexa::files {

// The folders an extraction made for the archive's folder entries, given their archived
// modification time (and permissions, where the format keeps them) only once everything inside
// them is written: each item made in a folder moves its time, and a read-only folder would
// refuse its own contents. Several threads may add folders at once.
class ExtractedFolders {
  public:
    void add(Path location, std::optional<FileTime> modificationDate,
             std::optional<mode_t> permissions = std::nullopt);
    // Sets what was added, deepest folder first, and forgets it. Throws PlatformError.
    void finish();

  private:
    struct Folder {
        Path location;
        std::optional<FileTime> modificationDate;
        std::optional<mode_t> permissions;
    };
    std::mutex mutex_;
    std::vector<Folder> folders_;
};

} // namespace vexa::files
