#pragma once

#include "ArchiveWriteHandle.h"
#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <string>
#include <vector>

namespace vexa::tar {

// Writes one collected source item under `path` with its permissions and modification date
// as they are on disk now, its data read through `buffer`. Adds the bytes written (1 for a
// folder or an empty file) to the completed units. A file that shrank since it was collected
// is written short and left for the read-back to find; one that grew is cut at the size
// collected.
void writeSourceEntry(ArchiveWriteHandle& writer, const std::string& path,
                      const RARSourceEntry& source, std::vector<char>& buffer, Progress& progress);

} // namespace vexa::tar
