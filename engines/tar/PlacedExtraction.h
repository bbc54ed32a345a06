#pragma once

#include "ByteSource.h"
#include "ExtractionTree.h"
#include "KeptBlocks.h"
#include "TarPlacement.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vexa::tar {

// One chosen entry of a listed archive, where the listing found it.
struct PlacedEntry {
    std::string relative; // below the tree's root; "" is the root itself
    bool isDirectory = false;
    std::int64_t size = 0;
    TarPlacement placement;
};

// One stretch of the decoded stream, which a decoder of its own produces from its start.
struct DecodedPiece {
    std::int64_t start = 0;
    std::int64_t size = 0;
    // Called on the thread that decodes the piece; the source ends with the piece.
    std::function<std::unique_ptr<ByteSource>()> open;
};

// Writes the chosen entries by decoding the pieces of the stream on up to `threads` threads at
// once, every piece's bytes written straight into their files at their offsets: no piece is
// held whole and nothing waits for the pieces before it. Every header's bytes are compared
// with the listing's (archiveChanged when they differ). The folders must exist already; the
// directories themselves are only checked. Pieces that hold nothing chosen are not decoded.
// False, before anything is written, when the entries are not in stream order.
bool extractPieces(const std::vector<PlacedEntry>& entries, std::vector<DecodedPiece> pieces,
                   std::size_t threads, const ExtractionTree& tree, Progress& progress);

// The same for an xz-compressed TAR archive, one piece per block, as many threads as
// xzDecodingThreads allows; the blocks its listing kept (`kept`, when not null) are read from
// there instead of decoded. False, before anything is written, when the file is not an xz file
// of several blocks.
bool extractXzBlocks(const std::filesystem::path& archive, const std::vector<PlacedEntry>& entries,
                     const ExtractionTree& tree, Progress& progress,
                     const KeptBlocks* kept = nullptr);

} // namespace vexa::tar
