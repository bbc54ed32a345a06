#include "engines/sevenzip/container/Utf16.h"

namespace vexa::sevenzip {

std::vector<std::uint8_t> littleEndianUnits(std::u16string_view units) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

std::u16string unitsFromLittleEndian(const std::uint8_t* data, std::size_t units) {
    std::u16string result(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
        result[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return result;
}

} // namespace vexa::sevenzip
