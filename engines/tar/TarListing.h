#pragma once

#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <filesystem>
#include <memory>

namespace vexa::tar {

// The validated listing of a TAR archive or single compressed file. `countsUnits` is false
// inside a longer operation: the listing still stops on a cancel but leaves the operation's
// units alone.
ArchiveSummary listArchive(const std::filesystem::path& archive, Progress& progress,
                           bool countsUnits);
// The same listing as it is remembered for the extractions that follow (see ListingCache).
std::shared_ptr<const ArchiveSummary> listedArchive(const std::filesystem::path& archive,
                                                    Progress& progress, bool countsUnits);

} // namespace vexa::tar
