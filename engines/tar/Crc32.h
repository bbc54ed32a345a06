#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::tar {

// zlib's CRC-32 (the one of gzip and ZIP, with the same chaining), through ISA-L, whose folding
// on the processor's carry-less multiplication runs about four times as fast: the checks that
// read a whole archive back spend that much less on it.
std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t size);

} // namespace vexa::tar
