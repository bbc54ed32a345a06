#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexa {

// The fixed header at the start of every 7z archive: signature, version, its own CRC-32, and
// where the archive's header lies after it.
inline constexpr std::size_t sevenZipStartHeaderSize = 32;

// The number of bytes the whole archive spans according to its start header, or nothing when
// the bytes are not a start header whose CRC-32 matches.
std::optional<std::uint64_t> sevenZipArchiveSize(const unsigned char* header, std::size_t size);

} // namespace vexa
