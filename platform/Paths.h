#pragma once

#include <filesystem>
#include <string>

// Path rules of the platform: a file location is a std::filesystem::path; a location whose
// text ends in "/" has a directory path.
namespace vexa::paths {

using Path = std::filesystem::path;

std::string lastPathComponent(const Path& location);
// Text after the last "." of the last component; empty when there is none or the dot leads.
std::string pathExtension(const Path& location);
Path deletingPathExtension(const Path& location);
// The parent without a trailing "/": "/a/b/" and "/a/b" give "/a", "/a" gives "/", "a" gives "".
Path deletingLastPathComponent(const Path& location);
Path appendingPathComponent(const Path& location, const std::string& component,
                            bool isDirectory = false);
bool hasDirectoryPath(const Path& location);
// Absolute, with "." and ".." removed lexically and no trailing "/".
Path standardized(const Path& location);
// Standardised, with every symbolic link in the part of the path that exists resolved; a tail
// that does not exist yet is kept as written.
Path resolvingSymlinks(const Path& location);
// The temporary folder: $TMPDIR, else /tmp.
Path temporaryDirectory();

// Extension and base of a plain name ("a.tar.gz" gives "gz" and "a.tar").
std::string nameExtension(const std::string& name);
std::string nameDeletingExtension(const std::string& name);

} // namespace vexa::paths
