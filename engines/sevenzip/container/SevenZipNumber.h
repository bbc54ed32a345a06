#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The header's variable-length numbers: the count of leading 1 bits in the first byte says how
// many little-endian bytes follow, the rest of the first byte holds the highest bits.
namespace vexa::sevenzip {

void appendNumber(std::vector<std::uint8_t>& out, std::uint64_t value);
// The number at `data[position]`, advancing `position`; nothing when the bytes run out.
std::optional<std::uint64_t> readNumber(const std::uint8_t* data, std::size_t size,
                                        std::size_t& position);

} // namespace vexa::sevenzip
