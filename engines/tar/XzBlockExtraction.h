#pragma once

#include "ExtractionTree.h"
#include "TarPlacement.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
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

// Writes the chosen entries of an xz-compressed TAR archive by decoding its blocks on several
// threads at once, each within a few MiB beside its dictionary, every block's bytes written
// straight into their files at their offsets: no block is held whole and nothing waits for
// the blocks before it. Every header's bytes are compared with the listing's (archiveChanged
// when they differ) and every block's check is verified. The folders must exist already; the
// directories themselves are only checked. False, before anything is written, when the file
// is not an xz file of several blocks.
bool extractXzBlocks(const std::filesystem::path& archive, const std::vector<PlacedEntry>& entries,
                     const ExtractionTree& tree, Progress& progress);

} // namespace vexa::tar
