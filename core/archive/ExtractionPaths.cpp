#include "core/archive/ExtractionPaths.h"

#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>

namespace vexa {

namespace {

std::string diskKey(const std::string& candidate) {
    return text::lowercased(text::nfc(candidate));
}

std::string under(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

std::vector<ArchiveItem> sortedByPath(const std::vector<ArchiveItem>& entries) {
    std::vector<ArchiveItem> sorted = entries;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const ArchiveItem& a, const ArchiveItem& b) { return a.path < b.path; });
    return sorted;
}

std::string droppingOneTrailingSlash(std::string path) {
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// Drops `count` leading characters without splitting a UTF-8 sequence.
std::string droppingScalars(const std::string& text, std::size_t count) {
    std::size_t at = 0;
    while (count > 0 && at < text.size()) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
            ++at;
        --count;
    }
    return text.substr(at);
}

} // namespace

std::string uniqueExtractionPath(const std::string& path, PlacedPaths& placed, TakenNames& taken) {
    if (path.empty())
        return {};
    if (const auto found = placed.find(path); found != placed.end())
        return found->second;

    const std::size_t slash = path.rfind('/');
    const std::string parentPath =
        slash == std::string::npos ? std::string() : path.substr(0, slash);
    const std::string parent = uniqueExtractionPath(parentPath, placed, taken);

    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string extension = paths::nameExtension(name);
    const std::string base = paths::nameDeletingExtension(name);

    std::string candidate = under(parent, name);
    std::string key = diskKey(candidate);
    for (int n = 2;; ++n) {
        const auto holder = taken.find(key);
        if (holder == taken.end() || holder->second == path)
            break;
        const std::string numbered = base.empty() || extension.empty()
                                         ? name + " (" + std::to_string(n) + ")"
                                         : base + " (" + std::to_string(n) + ")." + extension;
        candidate = under(parent, numbered);
        key = diskKey(candidate);
    }
    taken[key] = path;
    placed[path] = candidate;
    return candidate;
}

std::map<std::string, std::string> javaExtractionPaths(const std::vector<ArchiveItem>& entries) {
    std::map<std::string, std::string> result;
    PlacedPaths placed{{"", ""}};
    TakenNames taken;
    for (const ArchiveItem& entry : sortedByPath(entries)) {
        const std::string trimmed = droppingOneTrailingSlash(entry.path);
        result[entry.path] = trimmed.empty() ? "" : uniqueExtractionPath(trimmed, placed, taken);
    }
    return result;
}

std::map<std::string, std::string> javaItemExtractionPaths(const std::vector<ArchiveItem>& entries,
                                                           const ArchiveItem& selected,
                                                           const std::string& prefix) {
    std::map<std::string, std::string> result;
    PlacedPaths placed{{"", ""}};
    TakenNames taken;
    const std::size_t prefixLength = text::unicodeScalarCount(prefix);
    for (const ArchiveItem& entry : sortedByPath(entries)) {
        std::string rel;
        if (selected.isDirectory && entry.path != selected.path)
            rel = droppingScalars(entry.path, prefixLength);
        rel = droppingOneTrailingSlash(rel);
        result[entry.path] = rel.empty() ? "" : uniqueExtractionPath(rel, placed, taken);
    }
    return result;
}

} // namespace vexa
