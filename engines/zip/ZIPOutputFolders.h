#pragma once

#include <filesystem>

namespace vexa {

// Makes `location` a folder, creating missing ancestors one component at a time with the
// default mode. An existing ancestor must be a real folder: a symbolic link or a file in the
// way fails with PlatformError, so nothing is ever created through a link.
void createOutputFolders(const std::filesystem::path& location);

} // namespace vexa
