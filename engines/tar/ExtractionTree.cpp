#include "ExtractionTree.h"

#include "platform/PlatformError.h"

#include <cerrno>
#include <vector>

namespace vexa::tar {

namespace {

std::vector<std::string> components(const std::string& relative) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        if (end > start)
            parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::filesystem::path descend(std::filesystem::path folder, const std::string& name) {
    std::filesystem::path next = folder / name;
    auto existing = files::attributesIfExists(next);
    if (!existing) {
        files::createDirectory(next, 0755);
    } else if (existing->type != files::FileType::directory) {
        // A link or a file where a folder belongs: never follow or replace it.
        throw PlatformError::fromErrno(EEXIST, next.string(), true);
    }
    return next;
}

} // namespace

std::filesystem::path ExtractionTree::makeFolders(const std::string& relative) {
    std::filesystem::path folder = root_;
    for (const std::string& part : components(relative))
        folder = descend(folder, part);
    return folder;
}

files::FileDescriptor ExtractionTree::createFile(const std::string& relative,
                                                 std::filesystem::path& location) {
    std::vector<std::string> parts = components(relative);
    std::filesystem::path folder = root_;
    if (parts.empty()) {
        location = root_;
    } else {
        for (std::size_t i = 0; i + 1 < parts.size(); ++i)
            folder = descend(folder, parts[i]);
        location = folder / parts.back();
    }
    return files::FileDescriptor(files::createFile(location, 0600));
}

} // namespace vexa::tar
