#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vexa {

// One entry of an archive listing. `path` is "/"-separated, folders end with "/", and it is
// the entry's identity.
struct ArchiveItem {
    std::string path;
    std::int64_t size = 0;
    std::int64_t compressedSize = 0;
    bool isDirectory = false;
    bool isEncrypted = false;

    const std::string& id() const { return path; }
    bool operator==(const ArchiveItem&) const = default;
};

} // namespace vexa

template <> struct std::hash<vexa::ArchiveItem> {
    std::size_t operator()(const vexa::ArchiveItem& item) const noexcept;
};
