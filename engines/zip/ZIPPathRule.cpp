#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

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

namespace {

// A set of keys by index into `keys`, open addressing over 32-bit slots: a few bytes an entry
// where a node-based map would take dozens, which matters for listings of many entries.
class KeyTable {
  public:
    KeyTable(const std::vector<std::string_view>& keys, std::size_t capacity) : keys_(keys) {
        std::size_t size = 16;
        while (size < capacity * 2)
            size *= 2;
        slots_.assign(size, 0);
    }
    // The index of an equal key already inserted, else inserts `index` and answers none.
    std::optional<std::size_t> insert(std::size_t index) {
        std::size_t slot = find(keys_[index]);
        if (slots_[slot] != 0)
            return slots_[slot] - 1;
        slots_[slot] = static_cast<std::uint32_t>(index + 1);
        return std::nullopt;
    }
    std::optional<std::size_t> lookup(std::string_view key) const {
        const std::size_t slot = find(key);
        if (slots_[slot] == 0)
            return std::nullopt;
        return slots_[slot] - 1;
    }

  private:
    std::size_t find(std::string_view key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = std::hash<std::string_view>()(key) & mask;
        while (slots_[slot] != 0 && keys_[slots_[slot] - 1] != key)
            slot = (slot + 1) & mask;
        return slot;
    }

    const std::vector<std::string_view>& keys_;
    std::vector<std::uint32_t> slots_;
};

} // namespace

namespace {

// checkListing over `count` entries whose paths and folder flags the two calls give; the paths
// must stay in place while it runs.
template <typename PathAt, typename FolderAt>
void checkNames(std::size_t count, const PathAt& pathAt, const FolderAt& isFolderAt,
                bool caseSensitive) {
    if (count >= std::numeric_limits<std::uint32_t>::max())
        throw ArchiveFailure::unsupported();
    // Most names are already their own key (ASCII, lower-case unless case counts): their keys
    // are views of the names, and only the others are made, so a long listing is not copied.
    std::deque<std::string> madeKeys;
    std::vector<std::string_view> keys;
    keys.reserve(count);
    KeyTable table(keys, count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& path = pathAt(i);
        ZIPArchiveEngine::validatePath(path);
        std::string_view key = std::string_view(path);
        const std::size_t start = key.find_first_not_of('/');
        key = start == std::string_view::npos
                  ? std::string_view()
                  : key.substr(start, key.find_last_not_of('/') - start + 1);
        const bool ownKey = std::all_of(key.begin(), key.end(), [&](char c) {
            return static_cast<unsigned char>(c) < 0x80 && (caseSensitive || c < 'A' || c > 'Z');
        });
        if (!ownKey)
            key = madeKeys.emplace_back(ZIPArchiveEngine::nameKey(path, caseSensitive));
        keys.push_back(key);
        if (table.insert(keys.size() - 1))
            throw ArchiveFailure::duplicate(path);
    }
    // The folder of the entry before, with every folder above it, is known to name no file;
    // entries of one folder mostly follow each other, so their common part is not looked up again.
    std::string_view checkedFolder;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view key = keys[i];
        std::size_t slash = key.find('/');
        if (!checkedFolder.empty() && key.size() > checkedFolder.size() &&
            key[checkedFolder.size()] == '/' && key.starts_with(checkedFolder))
            slash = key.find('/', checkedFolder.size() + 1);
        // Each proper prefix ends just before a "/"; empty pieces would add nothing new.
        for (; slash != std::string_view::npos; slash = key.find('/', slash + 1)) {
            if (slash == 0)
                continue;
            const auto found = table.lookup(key.substr(0, slash));
            if (found && !isFolderAt(*found))
                throw ArchiveFailure::duplicate(pathAt(i));
        }
        const std::size_t parent = key.rfind('/');
        if (parent != std::string_view::npos && parent > 0)
            checkedFolder = key.substr(0, parent);
    }
}

} // namespace

void ZIPArchiveEngine::checkListing(const std::vector<ArchiveItem>& items, bool caseSensitive) {
    checkNames(
        items.size(), [&](std::size_t i) -> const std::string& { return items[i].path; },
        [&](std::size_t i) { return items[i].isDirectory; }, caseSensitive);
}

void ZIPArchiveEngine::checkListing(const std::vector<ArchiveItem>& first,
                                    const std::vector<ArchiveItem>& then, bool caseSensitive) {
    const auto itemAt = [&](std::size_t i) -> const ArchiveItem& {
        return i < first.size() ? first[i] : then[i - first.size()];
    };
    checkNames(
        first.size() + then.size(),
        [&](std::size_t i) -> const std::string& { return itemAt(i).path; },
        [&](std::size_t i) { return itemAt(i).isDirectory; }, caseSensitive);
}

void ZIPArchiveEngine::checkListing(const std::vector<ArchiveItem>& items,
                                    const std::map<std::string, std::string>& renames,
                                    bool caseSensitive) {
    checkNames(
        items.size(),
        [&](std::size_t i) -> const std::string& {
            const auto renamed = renames.find(items[i].path);
            return renamed != renames.end() ? renamed->second : items[i].path;
        },
        [&](std::size_t i) { return items[i].isDirectory; }, caseSensitive);
}

bool ZIPArchiveEngine::keyCovers(const std::string& key, const std::string& path,
                                 bool caseSensitive) {
    std::string_view name(path);
    const std::size_t first = name.find_first_not_of('/');
    name = first == std::string_view::npos
               ? std::string_view()
               : name.substr(first, name.find_last_not_of('/') - first + 1);
    // An ASCII path, most of any archive, is compared in place instead of making its key.
    if (!std::all_of(name.begin(), name.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        const std::string other = nameKey(path, caseSensitive);
        return other == key ||
               (other.size() > key.size() && other.starts_with(key) && other[key.size()] == '/');
    }
    if (name.size() < key.size() || (name.size() > key.size() && name[key.size()] != '/'))
        return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = name[i];
        if ((caseSensitive || c < 'A' || c > 'Z' ? c : static_cast<char>(c + ('a' - 'A'))) !=
            key[i])
            return false;
    }
    return true;
}

} // namespace vexa
