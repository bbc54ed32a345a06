#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "engines/rar/RAREditor.h"
#include "engines/rar/RAREntryPaths.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

using rar::isAtOrBelow;
using rar::withoutTrailingSlash;

bool isListed(const std::vector<ArchiveItem>& entries, const std::string& name) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const ArchiveItem& entry) { return isAtOrBelow(entry.path, name); });
}

} // namespace

std::optional<RAREditor::Change> RAREditor::renameStep(const Context& context,
                                                       const ArchiveItem& entry,
                                                       const std::string& newName) {
    const std::string oldPath = withoutTrailingSlash(entry.path);
    const std::string parent = paths::deletingLastPathComponent(oldPath).string();
    const std::string newPath = parent.empty() ? newName : parent + "/" + newName;
    rejectWildcardNames(oldPath);
    rejectWildcardNames(newPath);

    const auto& entries = context.summary.entries;
    if (!isListed(entries, oldPath))
        throw ArchiveFailure::archiveChanged();
    const std::string newKey = nameKey(newPath);
    if (nameKey(oldPath) != newKey) {
        for (const auto& listed : entries) {
            auto key = nameKey(listed.path);
            if (key == newKey || key.starts_with(newKey + "/"))
                throw ArchiveFailure::conflict(newName);
        }
    }

    // Entry names come from the archive: "--" keeps one that starts with "-" from being read as a
    // switch (which could, say, turn a delete of one entry into a delete of all).
    context.runRAR({"rn", context.copy.string(), "--", oldPath, newPath}, std::nullopt, 0);

    Change change;
    for (const auto& listed : entries) {
        if (isAtOrBelow(listed.path, oldPath))
            change.expectedPaths.insert(newPath + listed.path.substr(oldPath.size()));
        else
            change.expectedPaths.insert(listed.path);
    }
    return change;
}

std::optional<RAREditor::Change> RAREditor::deleteStep(const Context& context,
                                                       const std::set<std::string>& paths) {
    // Without names the program would take its default mask and empty the copy.
    if (paths.empty())
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& path : paths)
        names.push_back(withoutTrailingSlash(path));
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        rejectWildcardNames(name);
    const auto& entries = context.summary.entries;
    for (const auto& name : names)
        if (!isListed(entries, name))
            throw ArchiveFailure::archiveChanged();

    Change change;
    for (const auto& listed : entries) {
        bool removed = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return isAtOrBelow(listed.path, name);
        });
        if (!removed)
            change.expectedPaths.insert(listed.path);
    }
    // rar removes an archive it has emptied, and nothing would be left to read back.
    if (change.expectedPaths.empty())
        throw ArchiveFailure::rarEdit("un RAR no puede quedar vacío: deja al menos un elemento.");

    std::vector<std::string> arguments{"d", context.copy.string(), "--"};
    arguments.insert(arguments.end(), names.begin(), names.end());
    context.runRAR(arguments, std::nullopt, 0);
    return change;
}

} // namespace vexa
