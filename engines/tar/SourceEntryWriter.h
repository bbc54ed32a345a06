#pragma once

#include "ArchiveWriteHandle.h"
#include "core/archive/SourceChecksums.h"
#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

namespace vexa::tar {

// Writes the collected source items in their order, each under its entry path with its
// permissions and modification date as they are on disk now, the files read ahead on threads
// of their own (SourceReadAhead). Adds the bytes written (1 for a folder or an empty file) to
// the completed units. A file that shrank since it was collected is written short and left for
// the read-back to find; one that grew is cut at the size collected. With `checksums` (made
// with SourceChecksums::Early::offered) every file's CRC-32 as it was read is offered there.
void writeSourceEntries(ArchiveWriteHandle& writer, const SourceEntryMap& entries,
                        Progress& progress, SourceChecksums* checksums);

} // namespace vexa::tar
