#include "platform/Resources.h"

#include <cstdlib>
#include <system_error>

namespace vexa::resources {

namespace {

bool isDirectory(const std::filesystem::path& location) {
    std::error_code error;
    return std::filesystem::is_directory(location, error);
}

} // namespace

std::optional<std::filesystem::path> resourcesDirectory() {
    if (const char* chosen = std::getenv("VEXA_RESOURCES"); chosen != nullptr && *chosen != '\0')
        return std::filesystem::path(chosen);
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed =
            program.parent_path().parent_path() / "share" / "vexa";
        if (isDirectory(installed))
            return installed;
    }
    const std::filesystem::path build = VEXA_BUILD_RESOURCES_DIR;
    if (isDirectory(build))
        return build;
    return std::nullopt;
}

std::optional<std::filesystem::path> resourceURL(const std::string& name,
                                                 const std::string& extension) {
    const auto folder = resourcesDirectory();
    if (!folder || name.empty())
        return std::nullopt;
    const std::filesystem::path location =
        *folder / (extension.empty() ? name : name + "." + extension);
    // Links to the system's own files are how the build tree provides them, so they count
    // when their target exists.
    std::error_code error;
    if (!std::filesystem::exists(location, error))
        return std::nullopt;
    return location;
}

} // namespace vexa::resources
