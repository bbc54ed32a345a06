#pragma once

#include <filesystem>
#include <optional>

namespace vexa::resources {

// The application's own resources folder: $VEXA_RESOURCES when set, else share/vexa beside the
// program's bin folder, else the build tree's resources folder.
std::optional<std::filesystem::path> resourcesDirectory();
// A resource by name and extension (extension may be empty), when the file exists.
std::optional<std::filesystem::path> resourceURL(const std::string& name,
                                                 const std::string& extension);

} // namespace vexa::resources
