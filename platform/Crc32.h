#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of gzip, ZIP, 7z and RAR (zlib's, with its chaining: start from 0, feed on), through
// ISA-L, whose folding on the processor's carry-less multiplication runs several times as fast
// as zlib's tables.
namespace vexa::platform {

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size);

// The CRC-32 of two runs of bytes one after the other, from the CRC-32 of each and the length
// of the second.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

// One byte through the CRC-32 table, without the inversions before and after: the key update of
// the traditional PKWARE encryption.
// Inline: it runs three times for every byte such an entry holds.
const std::uint32_t* crc32Table();
inline std::uint32_t crc32Step(std::uint32_t crc, std::uint8_t byte) {
    static const std::uint32_t* const table = crc32Table();
    return table[(crc ^ byte) & 0xff] ^ (crc >> 8);
}

} // namespace vexa::platform
