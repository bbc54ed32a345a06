#include "platform/DiskSpace.h"

#include <sys/statvfs.h>

namespace vexa::files {

std::optional<std::uint64_t> availableBytes(const std::filesystem::path& location) {
    struct statvfs info {};
    if (::statvfs(location.c_str(), &info) != 0)
        return std::nullopt;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(info.f_bavail),
                               static_cast<std::uint64_t>(info.f_frsize), &bytes))
        return UINT64_MAX;
    return bytes;
}

} // namespace vexa::files
