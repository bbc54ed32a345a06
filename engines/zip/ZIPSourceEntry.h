#pragma once

#include "platform/FileOperations.h"

#include <filesystem>
#include <string>

namespace vexa {

// One file or folder on disk planned as an archive entry. `path` is "/"-separated and never
// ends in "/"; a folder gets its trailing "/" only when it is written.
struct ZIPSourceEntry {
    std::string path;
    std::filesystem::path url;
    // As the walk found it.
    bool isDirectory = false;

    bool operator==(const ZIPSourceEntry&) const = default;
};

// The attributes of the item at `location` (never following a final link) when it may become
// the entry `entryPath`: a folder or a regular file. A symbolic link fails with
// symbolicLink(entryPath), anything else with unsupported.
files::FileAttributes admittedSource(const std::filesystem::path& location,
                                     const std::string& entryPath);
// The same for an item of type `type`, as a folder listing gives it.
void admitType(std::filesystem::file_type type, const std::string& entryPath);

} // namespace vexa
