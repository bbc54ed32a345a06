#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <system_error>

namespace vexa {

// Only folders and regular files become entries; links are refused by name because following
// one could archive something outside what the user chose.
files::FileAttributes admittedSource(const std::filesystem::path& location,
                                     const std::string& entryPath) {
    files::FileAttributes attributes = files::attributesOfItem(location);
    if (attributes.type == files::FileType::symbolicLink)
        throw ArchiveFailure::symbolicLink(entryPath);
    if (attributes.type != files::FileType::directory &&
        attributes.type != files::FileType::regular)
        throw ArchiveFailure::unsupported();
    return attributes;
}

void admitType(std::filesystem::file_type type, const std::string& entryPath) {
    if (type == std::filesystem::file_type::symlink)
        throw ArchiveFailure::symbolicLink(entryPath);
    if (type != std::filesystem::file_type::directory &&
        type != std::filesystem::file_type::regular)
        throw ArchiveFailure::unsupported();
}

std::vector<ZIPSourceEntry> ZIPArchiveEngine::enumerateSources(const std::filesystem::path& url,
                                                               const std::string& name,
                                                               Progress& progress) {
    progress.throwIfCancelled();
    validatePath(name);
    // A final "/" would make the checks below follow a chosen link to its folder.
    std::string chosenPath = url.string();
    while (chosenPath.size() > 1 && chosenPath.ends_with('/'))
        chosenPath.pop_back();
    const std::filesystem::path chosen(chosenPath);
    const bool isDirectory = admittedSource(chosen, name).type == files::FileType::directory;

    std::vector<ZIPSourceEntry> entries{{name, chosen, isDirectory}};
    if (!isDirectory)
        return entries;

    const std::filesystem::path root = paths::resolvingSymlinks(chosen);
    std::error_code error;
    std::filesystem::recursive_directory_iterator walk(root, error);
    if (error)
        throw PlatformError(PlatformError::Code::fileReadUnknown, chosen.string());
    std::error_code stored;
    for (; walk != std::filesystem::recursive_directory_iterator(); walk.increment(stored)) {
        if (stored)
            break;
        const std::filesystem::path element = walk->path();
        // The iterator's depth counts from 0 for the folder's direct children.
        std::filesystem::path tail;
        auto component = element.end();
        for (int depth = walk.depth(); depth >= 0; --depth) {
            --component;
            tail = tail.empty() ? *component : *component / tail;
        }
        const std::string entryPath = name + "/" + tail.generic_string();
        progress.throwIfCancelled();
        // Metadata another system left beside its files is not the user's data.
        if (isAppleDoubleSidecar(element, element.filename().string()))
            continue;
        validatePath(entryPath);
        // The type the folder listing gives spares a status call per item.
        using Type = std::filesystem::file_type;
        const Type type = walk->is_symlink(stored)        ? Type::symlink
                          : walk->is_directory(stored)    ? Type::directory
                          : walk->is_regular_file(stored) ? Type::regular
                                                          : Type::unknown;
        if (stored)
            break;
        admitType(type, entryPath);
        entries.push_back({entryPath, element, type == std::filesystem::file_type::directory});
    }
    if (stored)
        throw PlatformError::fromErrno(stored.value(), root.string(), false);
    return entries;
}

std::vector<ArchiveItem>
ZIPArchiveEngine::plannedItems(const std::vector<ZIPSourceEntry>& entries) {
    std::vector<ArchiveItem> items;
    items.reserve(entries.size());
    for (const ZIPSourceEntry& entry : entries)
        items.push_back(ArchiveItem{entry.path, 0, 0, entry.isDirectory, false});
    return items;
}

} // namespace vexa
