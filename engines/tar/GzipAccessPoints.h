#pragma once

#include "ByteSource.h"
#include "ExtractionTree.h"
#include "PlacedExtraction.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace vexa::tar {

// A place inside a gzip member's deflate data from which decoding can start afresh: the byte
// and bit where a deflate block begins, the decoded offset there, and the 32 KiB of decoded
// data before it that the block may refer to.
struct GzipAccessPoint {
    std::int64_t input = 0; // bytes of the file before the block, the partial byte included
    int bits = 0;           // bits of the byte before `input` that belong to the block
    std::int64_t output = 0;
    std::vector<unsigned char> window;
};

// The access points of a file of one gzip member, as a decoding from its start found them,
// and the member's decoded size.
struct GzipAccessPoints {
    std::vector<GzipAccessPoint> points;
    std::int64_t decodedSize = 0;
};

// Writes the chosen entries of a gzip-compressed TAR archive by decoding the stretches between
// its access points on several threads at once (see extractPieces). When every stretch is
// decoded, their CRC-32 and length are compared with the member's trailer. False, before
// anything is written, when there are fewer than two stretches.
bool extractGzipPieces(const std::filesystem::path& archive, const GzipAccessPoints& points,
                       const std::vector<PlacedEntry>& entries, const ExtractionTree& tree,
                       Progress& progress);

} // namespace vexa::tar
