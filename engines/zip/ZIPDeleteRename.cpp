#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

std::string trimmedOfSlashes(const std::string& path) {
    const std::size_t first = path.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    return path.substr(first, path.find_last_not_of('/') - first + 1);
}

} // namespace

std::filesystem::path ZIPArchiveEngine::deleteEntries(const std::set<std::string>& paths,
                                                      const std::filesystem::path& archive,
                                                      Progress& progress) const {
    if (paths.empty())
        throw ArchiveFailure::emptySelection();
    const std::string fingerprint = snapshot(archive);
    Progress listingProgress;
    const auto shared = sharedListing(archive, listingProgress);
    const ArchiveSummary& listing = *shared;

    const std::vector<ArchiveItem> selected = selectEntries(listing.entries, paths);
    if (selected.empty())
        throw ArchiveFailure::emptySelection();
    std::set<std::string> removed;
    for (const ArchiveItem& entry : selected)
        removed.insert(entry.path);
    std::vector<ArchiveItem> kept;
    for (const ArchiveItem& entry : listing.entries)
        if (removed.count(entry.path) == 0)
            kept.push_back(entry);

    return rewrite(archive, kept, {}, {}, progress, fingerprint, std::nullopt);
}

std::filesystem::path ZIPArchiveEngine::rename(const ArchiveItem& item,
                                               const std::filesystem::path& archive,
                                               const std::string& newName,
                                               Progress& progress) const {
    if (newName.empty() || newName == "." || newName == ".." ||
        newName.find('/') != std::string::npos || newName.find('\\') != std::string::npos)
        throw ArchiveFailure::unsafePath(newName);
    validatePath(newName);

    const std::string fingerprint = snapshot(archive);
    Progress listingProgress;
    const auto shared = sharedListing(archive, listingProgress);
    const ArchiveSummary& listing = *shared;

    const std::string oldBase = trimmedOfSlashes(item.path);
    const std::string parent = paths::deletingLastPathComponent(oldBase).string();
    const std::string newPath = parent.empty() ? newName : parent + "/" + newName;

    const std::vector<ArchiveItem> affected = selectEntries(listing.entries, {item.path});
    if (affected.empty())
        throw ArchiveFailure::emptySelection();
    // An affected entry starts with the item's path, so past the old base lies its own tail.
    // Entries whose path stays are left out of the map: the rewrite keeps their names anyway.
    const std::size_t baseStart = item.path.find(oldBase);
    std::map<std::string, std::string> renames;
    for (const ArchiveItem& entry : affected) {
        std::string renamed = newPath + entry.path.substr(baseStart + oldBase.size());
        if (renamed != entry.path)
            renames.emplace(entry.path, std::move(renamed));
    }

    const bool caseSensitive = javaArchive(archive).has_value();
    const std::string newKey = nameKey(newPath, caseSensitive);
    std::set<std::string> affectedPaths;
    for (const ArchiveItem& entry : affected)
        affectedPaths.insert(entry.path);
    for (const ArchiveItem& entry : listing.entries)
        if (keyCovers(newKey, entry.path, caseSensitive) && affectedPaths.count(entry.path) == 0)
            throw ArchiveFailure::conflict(newName);

    checkListing(listing.entries, renames, caseSensitive);
    return rewrite(archive, listing.entries, {}, renames, progress, fingerprint, std::nullopt);
}

} // namespace vexa
