#include "platform/ExtractedFolders.h"

#include <algorithm>

namespace vexa::files {

void ExtractedFolders::add(Path location, std::optional<FileTime> modificationDate,
                           std::optional<mode_t> permissions) {
    if (!modificationDate && !permissions)
        return;
    std::lock_guard lock(mutex_);
    folders_.push_back({std::move(location), modificationDate, permissions});
}

void ExtractedFolders::finish() {
    std::vector<Folder> folders;
    {
        std::lock_guard lock(mutex_);
        folders.swap(folders_);
    }
    // A folder's parent has a shorter path: by length, every folder comes before its parent.
    std::stable_sort(folders.begin(), folders.end(), [](const Folder& a, const Folder& b) {
        return a.location.native().size() > b.location.native().size();
    });
    for (const Folder& folder : folders) {
        if (folder.permissions)
            setPermissions(folder.location, *folder.permissions);
        if (folder.modificationDate)
            setModificationDate(folder.location, *folder.modificationDate);
    }
}

} // namespace vexa::files
