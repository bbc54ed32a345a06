#pragma once

#include "core/archive/ArchiveItem.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace vexa {

// The listed bytes of what an extraction of `chosen` writes: every entry when `chosen` is empty,
// otherwise each chosen path and everything below it taken as a folder. Saturates instead of
// overflowing.
std::uint64_t listedBytes(const std::vector<ArchiveItem>& entries,
                          const std::set<std::string>& chosen);

// Refuses at once, with the platform's full-disk error naming `destination` (an existing
// folder), an extraction of `bytes` that the destination's file system cannot hold. Sizes that
// lie are left to the engines' streaming checks.
void ensureRoomForExtraction(std::uint64_t bytes, const std::filesystem::path& destination);

} // namespace vexa
