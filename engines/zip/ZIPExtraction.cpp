#include "core/archive/ArchiveFailure.h"
#include "core/archive/ExtractionPaths.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPOutputFolders.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <sys/stat.h>

namespace vexa {

namespace {

bool needsResolution(const ZIPArchiveEngine& engine, const ArchiveSummary& listing) {
    return !engine.resolved && engine.password &&
           std::any_of(listing.entries.begin(), listing.entries.end(),
                       [](const ArchiveItem& entry) { return entry.isEncrypted; });
}

// Appends an archive path, keeping a folder's trailing "/".
std::filesystem::path appendingPath(const std::filesystem::path& base,
                                    const std::string& relative) {
    return std::filesystem::path(base.string() + "/" + relative);
}

} // namespace

std::vector<ArchiveItem> ZIPArchiveEngine::selectEntries(const std::vector<ArchiveItem>& entries,
                                                         const std::set<std::string>& paths) {
    if (paths.empty())
        return entries;
    std::vector<std::string> prefixes;
    for (const std::string& chosen : paths)
        prefixes.push_back(!chosen.empty() && chosen.back() == '/' ? chosen : chosen + "/");
    std::vector<ArchiveItem> selected;
    for (const ArchiveItem& entry : entries) {
        const bool chosen =
            paths.count(entry.path) != 0 ||
            std::any_of(prefixes.begin(), prefixes.end(),
                        [&](const std::string& prefix) { return entry.path.starts_with(prefix); });
        if (chosen)
            selected.push_back(entry);
    }
    return selected;
}

std::filesystem::path ZIPArchiveEngine::availableURL(const std::string& name,
                                                     const std::filesystem::path& folder) {
    const std::string base = name.empty() ? "Archivos" : name;
    std::filesystem::path candidate = folder / base;
    for (int n = 2; files::fileExists(candidate); ++n)
        candidate = folder / (base + " " + std::to_string(n));
    return candidate;
}

void ZIPArchiveEngine::removeItem(const std::filesystem::path& location) noexcept {
    files::removeItemIgnoringErrors(location);
}

std::filesystem::path ZIPArchiveEngine::extract(const std::filesystem::path& archive,
                                                const std::set<std::string>& paths,
                                                const std::filesystem::path& destination,
                                                Progress& progress) {
    Progress listingProgress;
    const ArchiveSummary listing = list(archive, listingProgress);
    if (needsResolution(*this, listing))
        return resolvePassword(archive, listing, progress)
            .extract(archive, paths, destination, progress);

    const std::vector<ArchiveItem> selected = selectEntries(listing.entries, paths);
    if (!paths.empty() && selected.empty())
        throw ArchiveFailure::emptySelection();

    const std::filesystem::path staging = destination / (".vexa-extract-" + files::newUUIDString());
    files::createDirectory(staging, 0700);
    files::ScopedRemoval stagingRemoval(staging);

    std::map<std::string, std::string> javaNames;
    if (listing.java)
        javaNames = javaExtractionPaths(selected);
    extractEntries(archive, selected, progress, 0, true, [&](const ArchiveItem& entry) {
        const auto renamed = javaNames.find(entry.path);
        return appendingPath(staging, renamed != javaNames.end() ? renamed->second : entry.path);
    });
    progress.throwIfCancelled();

    const std::string name = paths::nameDeletingExtension(paths::lastPathComponent(archive));
    const std::filesystem::path result = availableURL(name, destination);
    files::moveItem(staging, result);
    stagingRemoval.dismiss();
    return result;
}

void ZIPArchiveEngine::extractPayload(const ArchiveItem& item, const std::filesystem::path& archive,
                                      const std::filesystem::path& result, Progress& progress,
                                      std::optional<std::int64_t> limit) const {
    Progress listingProgress;
    const ArchiveSummary listing = ZIPArchiveEngine(*this).list(archive, listingProgress);
    if (needsResolution(*this, listing))
        return resolvePassword(archive, listing, progress)
            .extractPayload(item, archive, result, progress, limit);

    const std::vector<ArchiveItem> selected = selectEntries(listing.entries, {item.path});
    if (selected.empty())
        throw ArchiveFailure::corrupt(item.path);
    if (limit && std::any_of(selected.begin(), selected.end(),
                             [&](const ArchiveItem& entry) { return entry.size > *limit; }))
        throw ArchiveFailure::previewTooLarge();

    const std::filesystem::path temporary = files::itemReplacementDirectory(result);
    files::ScopedRemoval temporaryRemoval(temporary);
    const std::filesystem::path payload = temporary / "payload";
    if (item.isDirectory && ::mkdir(payload.c_str(), 0777) != 0)
        throw PlatformError::fromErrno(errno, payload.string(), true);

    const std::string prefix =
        !item.path.empty() && item.path.back() == '/' ? item.path : item.path + "/";
    std::map<std::string, std::string> javaNames;
    if (listing.java)
        javaNames = javaItemExtractionPaths(selected, item, prefix);
    extractEntries(
        archive, selected, progress, limit.value_or(0), !limit, [&](const ArchiveItem& entry) {
            std::string relative;
            if (const auto renamed = javaNames.find(entry.path); renamed != javaNames.end())
                relative = renamed->second;
            else if (item.isDirectory && entry.path != item.path)
                relative = entry.path.substr(prefix.size());
            return relative.empty() ? payload : appendingPath(payload, relative);
        });
    progress.throwIfCancelled();
    files::moveItem(payload, result);
}

} // namespace vexa
