#include "platform/Paths.h"

#include <cstdlib>
#include <system_error>

namespace vexa::paths {

namespace {

// The text without trailing "/", except that the root stays "/".
std::string trimmedOfTrailingSlashes(std::string text) {
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// Position of the "." that starts the extension of `name`, or npos. A leading dot marks a
// hidden name, not an extension, and a final dot leaves nothing to call one.
std::size_t extensionDot(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return std::string::npos;
    return dot;
}

} // namespace

std::string lastPathComponent(const Path& location) {
    const std::string text = trimmedOfTrailingSlashes(location.string());
    if (text == "/")
        return text;
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string pathExtension(const Path& location) {
    return nameExtension(lastPathComponent(location));
}

Path deletingPathExtension(const Path& location) {
    const std::string text = location.string();
    const std::string trimmed = trimmedOfTrailingSlashes(text);
    const std::string name = lastPathComponent(trimmed);
    const std::size_t dot = extensionDot(name);
    if (name == "/" || dot == std::string::npos)
        return location;
    std::string result = trimmed.substr(0, trimmed.size() - (name.size() - dot));
    if (hasDirectoryPath(location))
        result += '/';
    return result;
}

Path deletingLastPathComponent(const Path& location) {
    const std::string text = trimmedOfTrailingSlashes(location.string());
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos)
        return Path();
    if (text == "/")
        return Path("/");
    return Path(trimmedOfTrailingSlashes(text.substr(0, slash == 0 ? 1 : slash)));
}

Path appendingPathComponent(const Path& location, const std::string& component, bool isDirectory) {
    std::string text = location.string();
    if (!text.empty() && text.back() != '/')
        text += '/';
    text += component;
    if (isDirectory && (text.empty() || text.back() != '/'))
        text += '/';
    return text;
}

bool hasDirectoryPath(const Path& location) {
    const std::string& text = location.native();
    return !text.empty() && text.back() == '/';
}

Path standardized(const Path& location) {
    std::error_code error;
    Path absolute = location.is_absolute() ? location : std::filesystem::absolute(location, error);
    if (error)
        absolute = location;
    return Path(trimmedOfTrailingSlashes(absolute.lexically_normal().string()));
}

Path resolvingSymlinks(const Path& location) {
    std::error_code error;
    // The part that exists is resolved; a missing tail is kept as written, so a destination
    // that is not yet created still compares equal to the same place reached through a link.
    const Path resolved = std::filesystem::weakly_canonical(standardized(location), error);
    if (error)
        return standardized(location);
    return Path(trimmedOfTrailingSlashes(resolved.string()));
}

Path temporaryDirectory() {
    const char* value = std::getenv("TMPDIR");
    if (value != nullptr && *value != '\0')
        return Path(trimmedOfTrailingSlashes(value));
    return Path("/tmp");
}

std::string nameExtension(const std::string& name) {
    const std::size_t dot = extensionDot(name);
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string nameDeletingExtension(const std::string& name) {
    const std::size_t dot = extensionDot(name);
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace vexa::paths
