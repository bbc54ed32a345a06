#include "core/archive/ExtractionSpace.h"

#include "platform/DiskSpace.h"
#include "platform/PlatformError.h"

#include <cerrno>

namespace vexa {

std::uint64_t listedBytes(const std::vector<ArchiveItem>& entries,
                          const std::set<std::string>& chosen) {
    std::set<std::string> prefixes;
    for (const std::string& path : chosen)
        prefixes.insert(!path.empty() && path.back() == '/' ? path : path + "/");
    std::uint64_t total = 0;
    for (const ArchiveItem& entry : entries) {
        bool selected = chosen.empty() || chosen.count(entry.path) != 0;
        // Each folder above the entry, as "a/", "a/b/", …, may be a chosen one.
        for (std::size_t slash = entry.path.find('/'); !selected && slash != std::string::npos;
             slash = entry.path.find('/', slash + 1))
            selected = slash + 1 < entry.path.size() &&
                       prefixes.count(entry.path.substr(0, slash + 1)) != 0;
        if (!selected || entry.isDirectory || entry.size <= 0)
            continue;
        if (__builtin_add_overflow(total, static_cast<std::uint64_t>(entry.size), &total))
            return UINT64_MAX;
    }
    return total;
}

void ensureRoomForExtraction(std::uint64_t bytes, const std::filesystem::path& destination) {
    const auto available = files::availableBytes(destination);
    if (available && bytes > *available)
        throw PlatformError(PlatformError::Code::fileWriteOutOfSpace, destination.string(), ENOSPC);
}

} // namespace vexa
