#pragma once

#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <filesystem>
#include <set>
#include <string>

namespace vexa {

// The contract of the four format engines. Both operations are synchronous, run on a
// background task, poll the progress object's cancellation and throw ArchiveFailure or
// CancellationError.
class ArchiveEngine {
  public:
    virtual ~ArchiveEngine() = default;

    // Reads every entry, validates the listing and returns the summary.
    virtual ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) = 0;

    // Writes the chosen entries (empty set: all; a folder path brings everything below it)
    // into one new folder under `destination` and returns that folder's location.
    virtual std::filesystem::path extract(const std::filesystem::path& archive,
                                          const std::set<std::string>& paths,
                                          const std::filesystem::path& destination,
                                          Progress& progress) = 0;
};

} // namespace vexa
