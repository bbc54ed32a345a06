#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace vexa::tar {

// Where one listed entry lies in the decoded TAR stream: its header records (with any
// extended headers before them) from `headerOffset` up to `dataOffset`, where its data
// begins, and the CRC-32 of those header bytes, by which a later pass that decodes the stream
// out of order tells that it still holds what the listing read.
struct TarPlacement {
    std::int64_t headerOffset = 0;
    std::int64_t dataOffset = 0;
    std::uint32_t headerCrc = 0;
    // What the header says besides the listing's fields, which the headers vouch for.
    mode_t permissions = 0644;
    std::optional<struct timespec> modificationTime;
};

// One per listed entry, in the listing's order; empty when the listing could not place them.
using TarPlacements = std::vector<TarPlacement>;

} // namespace vexa::tar
