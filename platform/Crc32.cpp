#include "platform/Crc32.h"

#include <isa-l/crc.h>
#include <zlib.h>

namespace vexa::platform {

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size) {
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    return static_cast<std::uint32_t>(
        ::crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

const std::uint32_t* crc32Table() {
    static_assert(sizeof(z_crc_t) == sizeof(std::uint32_t));
    return reinterpret_cast<const std::uint32_t*>(::get_crc_table());
}

} // namespace vexa::platform
