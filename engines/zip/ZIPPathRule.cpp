#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/TextRules.h"

#include <string_view>
#include <unordered_map>

namespace vexa {

namespace {

bool isUnsafe(std::string_view path) {
    if (path.empty() || path.front() == '/')
        return true;
    if (path.find('\\') != std::string_view::npos || path.find('\0') != std::string_view::npos)
        return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('/', start);
        const bool last = end == std::string_view::npos;
        const std::string_view piece =
            path.substr(start, last ? std::string_view::npos : end - start);
        if (piece == ".." || piece == ".")
            return true;
        if (piece.empty() && !last)
            return true;
        if (last)
            break;
        start = end + 1;
    }
    return path.find(':') != std::string_view::npos;
}

} // namespace

std::string ZIPArchiveEngine::nameKey(const std::string& path, bool caseSensitive) {
    const std::size_t first = path.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    const std::size_t last = path.find_last_not_of('/');
    std::string key = text::nfc(std::string_view(path).substr(first, last - first + 1));
    return caseSensitive ? key : text::lowercased(key);
}

void ZIPArchiveEngine::validatePath(const std::string& path) {
    if (isUnsafe(path))
        throw ArchiveFailure::unsafePath(path);
}

void ZIPArchiveEngine::checkListing(const std::vector<ArchiveItem>& items, bool caseSensitive) {
    std::unordered_map<std::string, bool> isDirectoryByKey;
    isDirectoryByKey.reserve(items.size());
    std::vector<std::string> keys;
    keys.reserve(items.size());
    for (const ArchiveItem& item : items) {
        validatePath(item.path);
        std::string key = nameKey(item.path, caseSensitive);
        if (!isDirectoryByKey.emplace(key, item.isDirectory).second)
            throw ArchiveFailure::duplicate(item.path);
        keys.push_back(std::move(key));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string& key = keys[i];
        // Each proper prefix ends just before a "/"; empty pieces would add nothing new.
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            if (slash == 0)
                continue;
            const auto found = isDirectoryByKey.find(key.substr(0, slash));
            if (found != isDirectoryByKey.end() && !found->second)
                throw ArchiveFailure::duplicate(items[i].path);
        }
    }
}

} // namespace vexa
