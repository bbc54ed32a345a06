#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// 7z stores names and takes passwords as UTF-16 code units in little-endian byte order; turning
// them into UTF-8 and back is the text rules' (platform/TextRules.h), strict both ways.
namespace vexa::sevenzip {

std::vector<std::uint8_t> littleEndianUnits(std::u16string_view units);
std::u16string unitsFromLittleEndian(const std::uint8_t* data, std::size_t units);

} // namespace vexa::sevenzip
