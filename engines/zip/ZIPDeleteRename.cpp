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
    const ArchiveSummary listing = ZIPArchiveEngine(*this).list(archive, listingProgress);

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
    const ArchiveSummary listing = ZIPArchiveEngine(*this).list(archive, listingProgress);

    const std::string oldBase = trimmedOfSlashes(item.path);
    const std::string parent = paths::deletingLastPathComponent(oldBase).string();
    const std::string newPath = parent.empty() ? newName : parent + "/" + newName;

    const std::vector<ArchiveItem> affected = selectEntries(listing.entries, {item.path});
    if (affected.empty())
        throw ArchiveFailure::emptySelection();
    std::set<std::string> affectedPaths;
    for (const ArchiveItem& entry : affected)
        affectedPaths.insert(entry.path);

    const bool caseSensitive = javaArchive(archive).has_value();
    const std::string newKey = nameKey(newPath, caseSensitive);
    for (const ArchiveItem& entry : listing.entries) {
        if (affectedPaths.count(entry.path) != 0)
            continue;
        const std::string key = nameKey(entry.path, caseSensitive);
        if (key == newKey || key.starts_with(newKey + "/"))
            throw ArchiveFailure::conflict(newName);
    }

    // An affected entry starts with the item's path, so past the old base lies its own tail.
    const std::size_t baseStart = item.path.find(oldBase);
    std::vector<ArchiveItem> renamed = listing.entries;
    for (ArchiveItem& entry : renamed)
        if (affectedPaths.count(entry.path) != 0)
            entry.path = newPath + entry.path.substr(baseStart + oldBase.size());
    checkListing(renamed, caseSensitive);

    std::map<std::string, std::string> renames;
    for (auto& [oldPath, newEntryPath] : renamedPaths(listing.entries, renamed))
        renames.emplace(std::move(oldPath), std::move(newEntryPath));
    return rewrite(archive, listing.entries, {}, renames, progress, fingerprint, std::nullopt);
}

std::vector<std::pair<std::string, std::string>>
ZIPArchiveEngine::renamedPaths(const std::vector<ArchiveItem>& oldEntries,
                               const std::vector<ArchiveItem>& newEntries) {
    std::vector<std::pair<std::string, std::string>> pairs;
    const std::size_t count = std::min(oldEntries.size(), newEntries.size());
    pairs.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        pairs.emplace_back(oldEntries[i].path, newEntries[i].path);
    return pairs;
}

} // namespace vexa
