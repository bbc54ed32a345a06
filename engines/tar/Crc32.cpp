#include "Crc32.h"

#include <isa-l/crc.h>

namespace vexa::tar {

std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t size) {
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
}

} // namespace vexa::tar
