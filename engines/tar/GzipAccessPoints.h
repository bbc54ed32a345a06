#pragma once

#include "ByteSource.h"
#include "ExtractionTree.h"
#include "PlacedExtraction.h"
#include "engines/codec/InflateGzipFile.h"
#include "platform/Progress.h"

#include <filesystem>
#include <vector>

namespace vexa::tar {

// Where decoding of a gzip-compressed archive may start afresh, as its listing found them.
using GzipAccessPoints = codec::GzipAccessPoints;

// Writes the chosen entries of a gzip-compressed TAR archive by decoding the stretches between
// its access points on several threads at once (see extractPieces). When every stretch is
// decoded, their CRC-32 and length are compared with the member's trailer. False, before
// anything is written, when there are fewer than two stretches.
bool extractGzipPieces(const std::filesystem::path& archive, const GzipAccessPoints& points,
                       const std::vector<PlacedEntry>& entries, const ExtractionTree& tree,
                       Progress& progress);

} // namespace vexa::tar
