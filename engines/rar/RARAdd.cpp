#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/SourceEntries.h"
#include "engines/rar/RAREditor.h"
#include "engines/rar/RAREntryPaths.h"
#include "engines/rar/RARSourceLinks.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

using rar::isAtOrBelow;
using rar::withoutTrailingSlash;

std::string resolvedPath(const std::filesystem::path& location) {
    return paths::resolvingSymlinks(paths::standardized(location)).string();
}

bool denotesFolder(const std::filesystem::path& location) {
    if (paths::hasDirectoryPath(location))
        return true;
    auto attributes = files::attributesIfExists(location);
    return attributes && attributes->type == files::FileType::directory;
}

// "Informe.pdf" becomes "Informe 2.pdf", then "Informe 3.pdf"; a folder "Fotos" becomes
// "Fotos 2".
std::string freeNumberedName(const std::filesystem::path& source, const std::string& folder,
                             const std::vector<ArchiveItem>& entries,
                             const std::vector<RAREditor::PlannedItem>& planned) {
    const std::string extension = denotesFolder(source) ? "" : paths::pathExtension(source);
    const std::string name = paths::lastPathComponent(source);
    const std::string base =
        extension.empty() ? name : paths::lastPathComponent(paths::deletingPathExtension(source));
    for (long n = 2;; ++n) {
        std::string candidate = base + " " + std::to_string(n);
        if (!extension.empty())
            candidate += "." + extension;
        if (!RAREditor::nameIsTaken(folder + candidate, entries, planned, folder))
            return candidate;
    }
}

} // namespace

bool RAREditor::nameIsTaken(const std::string& target, const std::vector<ArchiveItem>& entries,
                            const std::vector<PlannedItem>& planned, const std::string& folder) {
    const std::string key = nameKey(target);
    for (const auto& entry : entries) {
        auto entryKey = nameKey(entry.path);
        if (entryKey == key || entryKey.starts_with(key + "/"))
            return true;
    }
    return std::any_of(planned.begin(), planned.end(), [&](const PlannedItem& item) {
        return nameKey(folder + item.second) == key;
    });
}

std::optional<RAREditor::Change>
RAREditor::addFiles(const Context& context, const std::string& folder,
                    const std::vector<std::filesystem::path>& sources,
                    const std::filesystem::path& archive, ArchiveConflictPolicy policy,
                    Progress& progress) {
    const auto& entries = context.summary.entries;
    const std::string folderName = withoutTrailingSlash(folder);
    if (!folder.empty()) {
        if (!folder.ends_with('/'))
            throw ArchiveFailure::unsafePath(folder);
        bool exists = std::any_of(entries.begin(), entries.end(), [&](const ArchiveItem& entry) {
            return isAtOrBelow(entry.path, folderName);
        });
        if (!exists)
            throw ArchiveFailure::unsafePath(folder);
    }

    const std::string archivePath = resolvedPath(archive);
    std::vector<PlannedItem> planned;
    std::vector<std::string> replaced;
    for (const auto& source : sources) {
        if (resolvedPath(source) == archivePath)
            throw ArchiveFailure::sourceIsArchive();
        const std::string name = paths::lastPathComponent(source);
        const std::string target = folder + name;
        if (!nameIsTaken(target, entries, planned, folder)) {
            planned.emplace_back(source, name);
            continue;
        }
        switch (policy) {
        case ArchiveConflictPolicy::skip:
            break;
        case ArchiveConflictPolicy::ask:
            throw ArchiveFailure::conflict(name);
        case ArchiveConflictPolicy::replace: {
            const std::string key = nameKey(target);
            auto listed = std::find_if(entries.begin(), entries.end(), [&](const ArchiveItem& e) {
                return nameKey(e.path) == key;
            });
            // Taken only by another new item: there is nothing in the archive to replace.
            if (listed == entries.end())
                throw ArchiveFailure::conflict(name);
            replaced.push_back(listed->path);
            planned.emplace_back(source, name);
            break;
        }
        case ArchiveConflictPolicy::keepBoth:
            planned.emplace_back(source, freeNumberedName(source, folder, entries, planned));
            break;
        }
    }
    if (planned.empty())
        return std::nullopt;

    std::set<std::string> duplicateKeys;
    SourceEntryMap expectedSources;
    std::int64_t units = 0;
    std::vector<std::string> sidecars;
    for (const auto& [source, name] : planned) {
        if (liesWithinSource(archive, source))
            throw ArchiveFailure::rarEdit(
                "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.");
        collectSourceEntries(source, folder + name, progress, duplicateKeys, expectedSources, units,
                             {ArchiveFormat::rar, false, &sidecars});
    }
    progress.setTotalUnitCount(progress.totalUnitCount() + 3 * units);

    if (!replaced.empty()) {
        std::vector<std::string> deletion{"d", context.copy.string(), "--"};
        for (const auto& path : replaced)
            deletion.push_back(withoutTrailingSlash(path));
        context.runRAR(deletion, std::nullopt, 0);
    }

    std::vector<std::string> arguments{"a", "-r"};
    // The program sees the links folder: the paths there lack the target folder.
    for (const std::string& sidecar : sidecars)
        arguments.push_back("-x" + sidecar.substr(folder.size()));
    if (!folder.empty())
        arguments.push_back("-ap" + folderName);
    if (context.password)
        arguments.push_back(context.hidesNames ? "-hp" : "-p");
    arguments.push_back(context.copy.string());
    arguments.push_back("*");
    {
        files::ScopedRemoval links(stageSourcesAsLinks(planned));
        context.runRAR(arguments, links.location(), units);
    }

    Change change;
    for (const auto& entry : entries) {
        bool gone = std::any_of(replaced.begin(), replaced.end(), [&](const std::string& path) {
            return isAtOrBelow(entry.path, withoutTrailingSlash(path));
        });
        if (!gone)
            change.expectedPaths.insert(entry.path);
    }
    for (const auto& [path, source] : expectedSources)
        change.expectedPaths.insert(path);
    change.expectedSources = std::move(expectedSources);
    return change;
}

} // namespace vexa
