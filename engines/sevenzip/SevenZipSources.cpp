#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>

namespace vexa {

namespace {

std::string normalisedFolder(const std::string& folder) {
    std::string trimmed = text::nfc(folder);
    const auto first = trimmed.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    trimmed = trimmed.substr(first, trimmed.find_last_not_of('/') - first + 1);
    return trimmed + "/";
}

// True when `target` collides by name key with a listed entry, with something below one, or
// with an item already planned.
bool nameIsTaken(const std::string& target, const std::vector<ArchiveItem>& entries,
                 const std::vector<std::string>& plannedPaths) {
    const std::string key = nameKey(target);
    const std::string inside = key + "/";
    for (const auto& item : entries) {
        const std::string listed = nameKey(item.path);
        if (listed == key || listed.starts_with(inside))
            return true;
    }
    return std::any_of(plannedPaths.begin(), plannedPaths.end(),
                       [&](const std::string& path) { return nameKey(path) == key; });
}

// The first free "base N.ext" (a folder: "name N") from 2 on.
std::string freeNumberedName(const std::string& name, bool isDirectory, const std::string& folder,
                             const std::vector<ArchiveItem>& entries,
                             const std::vector<std::string>& plannedPaths) {
    const std::string extension = isDirectory ? "" : paths::nameExtension(name);
    const std::string base = extension.empty() ? name : paths::nameDeletingExtension(name);
    for (long counter = 2;; ++counter) {
        std::string candidate = base + " " + std::to_string(counter);
        if (!extension.empty())
            candidate += "." + extension;
        if (!nameIsTaken(folder + candidate, entries, plannedPaths))
            return candidate;
    }
}

} // namespace

std::optional<SevenZipWriter::AddPlan>
SevenZipWriter::collectSources(const std::vector<std::filesystem::path>& sources,
                               const std::string& folder, ArchiveConflictPolicy policy,
                               const ArchiveSummary& listed, Progress& progress) {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    const std::string target = normalisedFolder(folder);
    const auto archivePath = paths::resolvingSymlinks(listed.url);

    AddPlan plan;
    std::vector<std::pair<std::filesystem::path, std::string>> items;
    std::vector<std::string> plannedPaths;
    for (const auto& source : sources) {
        progress.throwIfCancelled();
        const auto sourcePath = paths::resolvingSymlinks(source);
        if (sourcePath == archivePath)
            throw ArchiveFailure::sourceIsArchive();
        const bool isDirectory = files::attributesOfItem(source).type == files::FileType::directory;
        std::string name = paths::lastPathComponent(source);
        // Normalised, a name that is not UTF-8 would turn into another one.
        if (!text::isValidUTF8(name))
            throw ArchiveFailure::sevenZipFailure(unstorableNameMessage(name));
        name = text::nfc(name);
        if (nameIsTaken(target + name, listed.entries, plannedPaths)) {
            switch (policy) {
            case ArchiveConflictPolicy::ask:
                throw ArchiveFailure::conflict(name);
            case ArchiveConflictPolicy::skip:
                continue;
            case ArchiveConflictPolicy::keepBoth:
                name = freeNumberedName(name, isDirectory, target, listed.entries, plannedPaths);
                break;
            case ArchiveConflictPolicy::replace: {
                const std::string key = nameKey(target + name);
                // Taken only by another new item: there is nothing to replace.
                if (std::none_of(listed.entries.begin(), listed.entries.end(),
                                 [&](const ArchiveItem& item) {
                                     const std::string listedKey = nameKey(item.path);
                                     return listedKey == key || listedKey.starts_with(key + "/");
                                 }))
                    throw ArchiveFailure::conflict(name);
                plan.replaced.insert(target + name);
                break;
            }
            }
        }
        plannedPaths.push_back(target + name);
        items.emplace_back(source, name);
    }
    if (items.empty())
        return std::nullopt;

    std::set<std::string> duplicateKeys;
    for (const auto& [source, name] : items) {
        if (liesWithinSource(listed.url, source))
            throw ArchiveFailure::sevenZipFailure(kSevenZipInsideSourceMessage);
        collectSourceEntries(source, target + name, progress, duplicateKeys, plan.sources,
                             plan.units, {.format = ArchiveFormat::sevenZip, .utf8Names = true});
    }

    std::vector<ArchiveItem> planned;
    for (const auto& item : listed.entries) {
        const std::string key = nameKey(item.path);
        const bool gone =
            std::any_of(plan.replaced.begin(), plan.replaced.end(), [&](const std::string& path) {
                const std::string replacedKey = nameKey(path);
                return key == replacedKey || key.starts_with(replacedKey + "/");
            });
        if (!gone)
            planned.push_back(item);
    }
    for (const auto& [path, source] : plan.sources)
        planned.push_back({path, source.size, 0, source.isDirectory, false});
    validateEntries(planned);
    return plan;
}

} // namespace vexa
