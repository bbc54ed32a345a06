#pragma once

#include "core/archive/SourceEntries.h"
#include "core/archive/TarCompression.h"
#include "platform/Progress.h"

#include <filesystem>
#include <string>

namespace vexa::tar {

// A name for a file being written that tells the reader what it holds ("archivo.tar.gz",
// "archivo.gz"), whatever the name of its final place.
std::string workFileName(TarCompression compression, bool singleFile);

// Every entry of a written archive with its size and the CRC-32 of its data, read in one pass
// that adds each byte read (and 1 per folder or empty file) to the completed units. A link or
// special entry throws ArchiveFailure::tarFailure carrying `mismatch`.
ReadBackEntries readBack(const std::filesystem::path& archive, Progress& progress,
                         const std::string& mismatch);

} // namespace vexa::tar
