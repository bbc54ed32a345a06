#include "core/archive/RarLocator.h"

#include "platform/FileOperations.h"
#include "platform/Resources.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace vexa {

namespace {

// Every set of locations ever made stays alive, so that the reference handed out by
// rarLocations() remains valid on a background task while a test swaps the locations.
class LocationStore {
  public:
    std::atomic<const RarLocations*> current{nullptr};

    const RarLocations& install(RarLocations locations) {
        std::lock_guard lock(mutex);
        return installLocked(std::move(locations));
    }

    const RarLocations& installStandardIfUnset() {
        std::lock_guard lock(mutex);
        if (const RarLocations* existing = current.load(std::memory_order_acquire))
            return *existing;
        return installLocked(RarLocations::standard());
    }

  private:
    const RarLocations& installLocked(RarLocations locations) {
        kept.push_back(std::make_unique<const RarLocations>(std::move(locations)));
        current.store(kept.back().get(), std::memory_order_release);
        return *kept.back();
    }

    std::mutex mutex;
    std::vector<std::unique_ptr<const RarLocations>> kept;
};

LocationStore& store() {
    static LocationStore instance;
    return instance;
}

// Follows links, so a dangling link to a removed module does not count.
bool existsFollowingLinks(const std::filesystem::path& location) {
    std::error_code error;
    return std::filesystem::exists(location, error);
}

} // namespace

RarLocations RarLocations::standard() {
    RarLocations locations;
    locations.resourcesDirectory = resources::resourcesDirectory();
    return locations;
}

void setRarLocations(std::optional<RarLocations> locations) {
    store().install(locations ? std::move(*locations) : RarLocations::standard());
}

const RarLocations& rarLocations() {
    if (const RarLocations* current = store().current.load(std::memory_order_acquire))
        return *current;
    return store().installStandardIfUnset();
}

namespace {

// One snapshot per call, so that a swap of the locations cannot mix two sets in one answer.
std::optional<std::filesystem::path> resourceProgram(const RarLocations& locations) {
    if (!locations.resourcesDirectory)
        return std::nullopt;
    std::filesystem::path candidate = *locations.resourcesDirectory / "rar";
    if (!files::isExecutableFile(candidate))
        return std::nullopt;
    return candidate;
}

std::optional<std::filesystem::path> locateProgram(const RarLocations& locations) {
    if (auto resource = resourceProgram(locations))
        return resource;
    for (const std::filesystem::path& candidate : locations.fixedCandidates) {
        if (files::isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::filesystem::path> resourceRARExecutable() {
    return resourceProgram(rarLocations());
}

std::optional<std::filesystem::path> locateRARExecutable() {
    return locateProgram(rarLocations());
}

std::optional<std::filesystem::path> locateSFXModule() {
    const RarLocations& locations = rarLocations();
    std::vector<std::filesystem::path> candidates;
    if (locations.resourcesDirectory)
        candidates.push_back(*locations.resourcesDirectory / "default.sfx");
    if (const auto program = locateProgram(locations)) {
        candidates.push_back(program->parent_path() / "default.sfx");
        candidates.insert(candidates.end(), locations.fixedSFXCandidates.begin(),
                          locations.fixedSFXCandidates.end());
    }
    for (const std::filesystem::path& candidate : candidates) {
        if (existsFollowingLinks(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace vexa
