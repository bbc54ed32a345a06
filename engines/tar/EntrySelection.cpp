#include "EntrySelection.h"

namespace vexa::tar {

bool isSelectedPath(const std::string& path, const std::set<std::string>& chosen) {
    if (chosen.empty() || chosen.contains(path))
        return true;
    for (const std::string& member : chosen) {
        if (member.empty())
            continue;
        std::string prefix = member.back() == '/' ? member : member + "/";
        if (path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

std::vector<ArchiveItem> selectEntries(const std::vector<ArchiveItem>& entries,
                                       const std::set<std::string>& chosen) {
    std::vector<ArchiveItem> selected;
    for (const ArchiveItem& entry : entries)
        if (isSelectedPath(entry.path, chosen))
            selected.push_back(entry);
    return selected;
}

} // namespace vexa::tar
