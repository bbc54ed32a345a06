#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vexa {

// The names of a folder's children in the order the file system lists them, hidden ones
// included, "." and ".." left out. Throws PlatformError when the folder cannot be read.
std::vector<std::string> folderChildNames(const std::filesystem::path& folder);

} // namespace vexa
