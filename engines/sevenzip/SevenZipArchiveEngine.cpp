#include "engines/sevenzip/SevenZipArchiveEngine.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "engines/sevenzip/SevenZipExtraction.h"
#include "engines/sevenzip/SevenZipOpening.h"
#include "engines/sevenzip/SevenZipVolumes.h"
#include "engines/sevenzip/container/SevenZipAes.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>

namespace vexa {

namespace {

std::vector<ArchiveItem> listedEntries(const SevenZipOpenArchive& open) {
    std::vector<ArchiveItem> entries;
    entries.reserve(open.entries.size());
    for (const auto& entry : open.entries) {
        if (!entry)
            continue;
        if (entry->type == files::FileType::symbolicLink)
            throw ArchiveFailure::symbolicLink(entry->item.path);
        if (entry->type == files::FileType::other)
            throw ArchiveFailure::unsupported7z();
        entries.push_back(entry->item);
    }
    validateEntries(entries);
    return entries;
}

std::filesystem::path freeLocation(const std::filesystem::path& folder, const std::string& name) {
    std::filesystem::path candidate = folder / name;
    for (int counter = 2; files::fileExists(candidate); ++counter)
        candidate = folder / (name + " " + std::to_string(counter));
    return candidate;
}

} // namespace

ArchiveSummary SevenZipArchiveEngine::list(const std::filesystem::path& archive,
                                           Progress& progress) {
    const auto volumes = sevenZipVolumes(archive);
    const auto open = openSevenZipArchive(volumes, password, exact, progress);
    ArchiveSummary summary;
    summary.url = archive;
    summary.entries = listedEntries(open);
    summary.format = ArchiveFormat::sevenZip;
    summary.volumes = volumes;
    return summary;
}

std::filesystem::path SevenZipArchiveEngine::extract(const std::filesystem::path& archive,
                                                     const std::set<std::string>& paths,
                                                     const std::filesystem::path& destination,
                                                     Progress& progress) {
    // One opening serves the listing checks and the extraction.
    const auto open = openSevenZipArchive(sevenZipVolumes(archive), password, exact, progress);
    std::vector<ArchiveItem> selected;
    for (const auto& item : listedEntries(open))
        if (isSelectedSevenZipPath(item.path, paths))
            selected.push_back(item);
    if (!paths.empty() && selected.empty())
        throw ArchiveFailure::emptySelection();

    const auto staging = destination / (".vexa-extract-" + files::newUUIDString());
    files::createDirectory(staging, 0700);
    files::ScopedRemoval removal(staging);
    writeSevenZipEntries(open, selected, progress,
                         [&](const ArchiveItem& item) { return staging / item.path; });
    progress.throwIfCancelled();

    const auto result = freeLocation(destination, sevenZipBaseName(archive));
    files::moveItem(staging, result);
    removal.dismiss();
    return result;
}

void SevenZipArchiveEngine::extractPayload(const ArchiveItem& item,
                                           const std::filesystem::path& archive,
                                           const std::filesystem::path& destination,
                                           Progress& progress, std::optional<std::int64_t> limit,
                                           std::optional<std::string> payloadPassword,
                                           bool payloadExact) {
    const auto open =
        openSevenZipArchive(sevenZipVolumes(archive), payloadPassword, payloadExact, progress);
    const std::string folderPrefix = item.path.ends_with('/') ? item.path : item.path + "/";
    std::vector<ArchiveItem> selected;
    for (const auto& entry : listedEntries(open))
        if (isSelectedSevenZipPath(entry.path, {item.path}))
            selected.push_back(entry);
    if (selected.empty())
        throw ArchiveFailure::corrupt(item.path);
    // Each entry is held to the limit on its own, as in the other engines' previews.
    if (limit && std::any_of(selected.begin(), selected.end(),
                             [&](const ArchiveItem& entry) { return entry.size > *limit; }))
        throw ArchiveFailure::previewTooLarge();
    if (files::fileExists(destination))
        throw ArchiveFailure::conflict(paths::lastPathComponent(destination));

    const auto work = files::itemReplacementDirectory(destination);
    files::ScopedRemoval removal(work);
    const auto payload = work / "payload";
    // Not private like a staging folder: this folder is the result the user receives.
    if (item.isDirectory)
        files::createDirectory(payload, 0755);
    writeSevenZipEntries(open, selected, progress, [&](const ArchiveItem& entry) {
        if (item.isDirectory && entry.path != item.path)
            return payload / entry.path.substr(folderPrefix.size());
        return payload;
    });
    progress.throwIfCancelled();
    files::moveItem(payload, destination);
}

void SevenZipArchiveEngine::forgetDerivedKeys() {
    sevenzip::clearAesKeyCache();
}

} // namespace vexa
