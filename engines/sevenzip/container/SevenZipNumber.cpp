#include "engines/sevenzip/container/SevenZipNumber.h"

namespace vexa::sevenzip {

void appendNumber(std::vector<std::uint8_t>& out, std::uint64_t value) {
    // `extra` bytes follow the first; the first byte keeps 7 - extra bits of the value.
    int extra = 0;
    while (extra < 8 && value >= (std::uint64_t{1} << (7 * (extra + 1))))
        ++extra;
    std::uint8_t first = static_cast<std::uint8_t>(0xFF00 >> extra);
    if (extra < 8)
        first = static_cast<std::uint8_t>(first | (value >> (8 * extra)));
    out.push_back(first);
    for (int i = 0; i < extra; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::optional<std::uint64_t> readNumber(const std::uint8_t* data, std::size_t size,
                                        std::size_t& position) {
    if (position >= size)
        return std::nullopt;
    const std::uint8_t first = data[position++];
    std::uint8_t mask = 0x80;
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        if ((first & mask) == 0) {
            const std::uint64_t high = first & (mask - 1u);
            return value | (high << (8 * i));
        }
        if (position >= size)
            return std::nullopt;
        value |= std::uint64_t{data[position++]} << (8 * i);
        mask >>= 1;
    }
    return value;
}

} // namespace vexa::sevenzip
