#pragma once

#include <string>

// Entry paths as the rar program matches them when editing.
namespace vexa::rar {

// The path without its final "/": the program names folders without one.
inline std::string withoutTrailingSlash(const std::string& path) {
    if (!path.empty() && path.back() == '/')
        return path.substr(0, path.size() - 1);
    return path;
}

// The entry `name` itself or anything below it, compared as listed (not by key): the program
// matches names exactly as they are stored.
inline bool isAtOrBelow(const std::string& entryPath, const std::string& name) {
    const std::string path = withoutTrailingSlash(entryPath);
    return path == name || path.starts_with(name + "/");
}

} // namespace vexa::rar
