#pragma once

#include <filesystem>
#include <string>

namespace vexa {

// One file or folder on disk planned as an archive entry. `path` is "/"-separated and never
// ends in "/"; a folder gets its trailing "/" only when it is written.
struct ZIPSourceEntry {
    std::string path;
    std::filesystem::path url;

    bool operator==(const ZIPSourceEntry&) const = default;
};

} // namespace vexa
