#include "core/archive/EntryValidation.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace vexa {

namespace {

// Split at every "/", keeping empty parts.
std::vector<std::string_view> allParts(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            parts.push_back(path.substr(start));
            return parts;
        }
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
}

bool isUnsafe(const std::string& path) {
    if (path.empty() || path.front() == '/')
        return true;
    if (path.find_first_of(std::string_view("\\:\0", 3)) != std::string::npos)
        return true;
    const auto parts = allParts(path);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == ".." || parts[i] == ".")
            return true;
        if (parts[i].empty() && i + 1 < parts.size())
            return true;
    }
    return false;
}

// NFC and lower case; a plain ASCII text (most names) is its own NFC form and lowers without
// ICU.
std::string folded(std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }))
        return text::asciiLowercased(text);
    return text::lowercased(text::nfc(text));
}

} // namespace

std::string nameKey(const std::string& path) {
    const std::size_t first = path.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    const std::size_t last = path.find_last_not_of('/');
    return folded(std::string_view(path).substr(first, last - first + 1));
}

void validateEntries(const std::vector<ArchiveItem>& entries) {
    std::unordered_map<std::string, bool> isDirectoryByKey;
    isDirectoryByKey.reserve(entries.size());
    for (const ArchiveItem& entry : entries) {
        if (isUnsafe(entry.path))
            throw ArchiveFailure::unsafePath(entry.path);
        if (!isDirectoryByKey.emplace(nameKey(entry.path), entry.isDirectory).second)
            throw ArchiveFailure::duplicate(entry.path);
    }

    // A file may not stand where another entry needs a folder. Entries come folder by folder:
    // the folders above one are those above the one before most of the time, checked already.
    std::string checkedParent;
    bool checkedAny = false;
    for (const ArchiveItem& entry : entries) {
        const std::string key = folded(entry.path);
        std::string_view trimmed = key;
        while (!trimmed.empty() && trimmed.back() == '/')
            trimmed.remove_suffix(1);
        const std::size_t slash = trimmed.rfind('/');
        const std::string_view parent =
            slash == std::string_view::npos ? std::string_view() : trimmed.substr(0, slash);
        if (checkedAny && parent == checkedParent)
            continue;
        checkedParent.assign(parent);
        checkedAny = true;
        std::string ancestor;
        for (const std::string_view part : allParts(key)) {
            if (part.empty())
                continue;
            if (!ancestor.empty()) {
                const auto found = isDirectoryByKey.find(ancestor);
                if (found != isDirectoryByKey.end() && !found->second)
                    throw ArchiveFailure::duplicate(entry.path);
                ancestor += '/';
            }
            ancestor += part;
        }
    }
}

void checkNewEntryName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\:") != std::string::npos)
        throw ArchiveFailure::unsafePath(name);
}

} // namespace vexa
