#include "engines/sevenzip/SevenZipStartHeader.h"

#include "platform/Crc32.h"

#include <algorithm>
#include <array>
#include <limits>

namespace vexa {

namespace {

constexpr std::array<unsigned char, 6> signature{0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

std::uint64_t littleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

std::optional<std::uint64_t> sevenZipArchiveSize(const unsigned char* header, std::size_t size) {
    if (size < sevenZipStartHeaderSize || !std::equal(signature.begin(), signature.end(), header))
        return std::nullopt;
    // Bytes 12 to 31 (next header offset, size and CRC) are covered by the CRC at byte 8.
    const auto expected = static_cast<std::uint32_t>(littleEndian(header + 8, 4));
    if (platform::crc32(0, header + 12, 20) != expected)
        return std::nullopt;
    const std::uint64_t offset = littleEndian(header + 12, 8);
    const std::uint64_t length = littleEndian(header + 20, 8);
    constexpr std::uint64_t maximum = std::numeric_limits<std::int64_t>::max();
    if (offset > maximum || length > maximum - offset ||
        offset + length > maximum - sevenZipStartHeaderSize)
        return std::nullopt;
    return sevenZipStartHeaderSize + offset + length;
}

} // namespace vexa
