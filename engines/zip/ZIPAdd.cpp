#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace vexa {

namespace {

bool folderExists(const std::vector<ArchiveItem>& entries, const std::string& folder) {
    return std::any_of(entries.begin(), entries.end(), [&](const ArchiveItem& entry) {
        return (entry.isDirectory && entry.path == folder) ||
               (entry.path.size() > folder.size() && entry.path.starts_with(folder));
    });
}

} // namespace

bool ZIPArchiveEngine::conflicts(const std::string& path, const std::vector<ArchiveItem>& existing,
                                 bool caseSensitive, const std::vector<ZIPSourceEntry>& planned) {
    const std::string key = nameKey(path, caseSensitive);
    for (const ArchiveItem& entry : existing)
        if (keyCovers(key, entry.path, caseSensitive))
            return true;
    for (const ZIPSourceEntry& entry : planned)
        if (keyCovers(key, entry.path, caseSensitive))
            return true;
    return false;
}

std::filesystem::path ZIPArchiveEngine::add(const std::vector<std::filesystem::path>& sources,
                                            const std::filesystem::path& archive,
                                            const std::string& folder, ArchiveConflictPolicy policy,
                                            Progress& progress) const {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    progress.throwIfCancelled();

    const std::string fingerprint = snapshot(archive);
    Progress listingProgress;
    const auto shared = sharedListing(archive, listingProgress);
    const ArchiveSummary& listing = *shared;
    // The listing was checked with this very rule, Java kinds case-sensitively, as it was made.
    const bool caseSensitive = javaArchive(archive).has_value();

    if (!folder.empty()) {
        validatePath(folder);
        if (!folder.ends_with('/') || !folderExists(listing.entries, folder))
            throw ArchiveFailure::unsafePath(folder);
    }

    const bool encrypted = std::any_of(listing.entries.begin(), listing.entries.end(),
                                       [](const ArchiveItem& entry) { return entry.isEncrypted; });
    if (encrypted) {
        if (password && !resolved)
            // New entries must take the very bytes that open the existing ones.
            return resolvePassword(archive, listing, progress)
                .add(sources, archive, folder, policy, progress);
        verifyPassword(archive, listing, progress);
    }

    // The whole listing is kept unless a replaced name takes entries out of it; only then is it
    // copied, which a long listing makes worth avoiding.
    std::optional<std::vector<ArchiveItem>> trimmed;
    const std::vector<ArchiveItem>* kept = &listing.entries;
    std::vector<ZIPSourceEntry> planned;
    const std::filesystem::path resolvedArchive = paths::resolvingSymlinks(archive);
    for (const std::filesystem::path& source : sources) {
        progress.throwIfCancelled();
        if (paths::resolvingSymlinks(source) == resolvedArchive)
            throw ArchiveFailure::sourceIsArchive();
        const std::string name = paths::lastPathComponent(source);
        std::string candidate = folder + name;
        if (conflicts(candidate, *kept, caseSensitive, planned)) {
            if (policy == ArchiveConflictPolicy::skip)
                continue;
            if (policy == ArchiveConflictPolicy::ask)
                throw ArchiveFailure::conflict(name);
            if (policy == ArchiveConflictPolicy::replace) {
                const std::string key = nameKey(candidate, caseSensitive);
                if (!trimmed)
                    kept = &trimmed.emplace(listing.entries);
                std::erase_if(*trimmed, [&](const ArchiveItem& entry) {
                    return keyCovers(key, entry.path, caseSensitive);
                });
                std::erase_if(planned, [&](const ZIPSourceEntry& entry) {
                    return keyCovers(key, entry.path, caseSensitive);
                });
            } else {
                const bool isDirectory =
                    files::attributesOfItem(source).type == files::FileType::directory;
                const std::string extension = isDirectory ? "" : paths::pathExtension(source);
                const std::string stem =
                    extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
                for (int n = 2;; ++n) {
                    candidate = folder + stem + " " + std::to_string(n) +
                                (extension.empty() ? "" : "." + extension);
                    if (!conflicts(candidate, *kept, caseSensitive, planned))
                        break;
                }
            }
        }
        std::vector<ZIPSourceEntry> walked = enumerateSources(source, candidate, progress);
        planned.insert(planned.end(), std::make_move_iterator(walked.begin()),
                       std::make_move_iterator(walked.end()));
    }
    if (planned.empty())
        return archive;

    for (const ZIPSourceEntry& entry : planned)
        if (paths::resolvingSymlinks(entry.url) == resolvedArchive)
            throw ArchiveFailure::sourceIsArchive();

    const std::vector<ArchiveItem> plannedEntries = plannedItems(planned);
    checkListing(*kept, plannedEntries, caseSensitive);

    return rewrite(archive, *kept, planned, {}, progress, fingerprint, std::nullopt);
}

} // namespace vexa
