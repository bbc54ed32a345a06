#include "core/workspace/WorkspaceModel.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <map>

namespace vexa {

namespace {

// The non-empty parts of a "/"-separated path; stops counting past two, which is all the
// folder view needs to know.
std::vector<std::string_view> leadingParts(std::string_view rest) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= rest.size() && parts.size() < 2) {
        const std::size_t slash = rest.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? rest.size() : slash;
        if (end > start)
            parts.push_back(rest.substr(start, end - start));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

bool beginsWith(const std::string& path, const std::string& prefix) {
    return path.compare(0, prefix.size(), prefix) == 0;
}

// The rows in rowOrder, stable: each path's sort key is made once, not in every comparison.
void sortRows(std::vector<ArchiveItem>& rows) {
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        keys.emplace_back(
            (rows[i].isDirectory ? '\0' : '\1') + text::localizedStandardSortKey(rows[i].path), i);
    std::sort(keys.begin(), keys.end());
    std::vector<ArchiveItem> sorted;
    sorted.reserve(rows.size());
    for (auto& key : keys)
        sorted.push_back(std::move(rows[key.second]));
    rows = std::move(sorted);
}

} // namespace

bool WorkspaceModel::rowOrder(const ArchiveItem& a, const ArchiveItem& b) {
    if (a.isDirectory != b.isDirectory)
        return a.isDirectory;
    return text::localizedStandardCompare(a.path, b.path) < 0;
}

std::vector<ArchiveItem> WorkspaceModel::visibleRows() const {
    const auto& current = archive();
    if (!current)
        return {};
    const std::string& query = search();
    std::vector<ArchiveItem> rows;

    if (query.empty()) {
        const std::string& inside = folder();
        std::map<std::string, ArchiveItem, std::less<>> table;
        for (const ArchiveItem& entry : current->entries) {
            if (!beginsWith(entry.path, inside))
                continue;
            const std::string_view rest = std::string_view(entry.path).substr(inside.size());
            if (rest.empty())
                continue;
            const auto parts = leadingParts(rest);
            if (parts.empty())
                continue;
            if (parts.size() == 1 && !entry.isDirectory) {
                table[entry.path] = entry;
            } else {
                // Most entries fall in a folder row already made; its path is then the start of
                // theirs, found without making it again. Folder rows in the table are all
                // derived ones, so finding one is enough.
                const std::size_t end = inside.size() + parts.front().size();
                if (parts.front().data() == entry.path.data() + inside.size() &&
                    end < entry.path.size() && entry.path[end] == '/') {
                    const auto found = table.find(std::string_view(entry.path).substr(0, end + 1));
                    if (found != table.end() && found->second.isDirectory)
                        continue;
                }
                std::string key = inside + std::string(parts.front()) + "/";
                ArchiveItem row{key, 0, 0, true, false};
                table[key] = std::move(row);
            }
        }
        rows.reserve(table.size());
        for (auto& entry : table)
            rows.push_back(std::move(entry.second));
    } else {
        for (const ArchiveItem& entry : current->entries)
            if (text::localizedStandardContains(entry.path, query))
                rows.push_back(entry);
    }
    sortRows(rows);
    return rows;
}

} // namespace vexa
