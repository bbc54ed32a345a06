#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace vexa {

// Where the rar program is looked for. Tests replace it to have a program or none.
struct RarLocations {
    // The application's resources folder; none when it has none.
    std::optional<std::filesystem::path> resourcesDirectory;
    std::vector<std::filesystem::path> fixedCandidates{"/opt/rar/rar", "/usr/bin/rar",
                                                       "/usr/local/bin/rar"};
    // Where Debian's rar package keeps its module, away from the program; looked at after
    // the resources and the program's own folder, and only when a program was found.
    std::vector<std::filesystem::path> fixedSFXCandidates{"/usr/lib/default.sfx"};
    static RarLocations standard();
};

// Replaces the process-wide locations (for tests); call with no argument to restore them.
void setRarLocations(std::optional<RarLocations> locations = std::nullopt);
const RarLocations& rarLocations();

std::optional<std::filesystem::path> resourceRARExecutable();
std::optional<std::filesystem::path> locateRARExecutable();
std::optional<std::filesystem::path> locateSFXModule();

} // namespace vexa
