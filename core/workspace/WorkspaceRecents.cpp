#include "core/workspace/WorkspaceModel.h"
#include "platform/Bookmarks.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

std::optional<RecentArchive::Data> makeBookmark(const std::filesystem::path& location) {
    try {
        return bookmarks::bookmarkData(location);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

void WorkspaceModel::loadRecents() {
    const auto data = settings_.data(recentArchivesKey);
    if (!data)
        return;
    // Unreadable stored data is dropped; the next successful open overwrites it.
    auto decoded = decodeRecentArchives(std::string(data->begin(), data->end()));
    if (decoded)
        setRecents(std::move(*decoded));
}

void WorkspaceModel::rememberRecent(const Path& location) {
    auto bookmark = makeBookmark(location);
    if (!bookmark)
        return;
    const std::string name = paths::lastPathComponent(location);

    std::vector<RecentArchive> list = recents_;
    std::erase_if(list, [&](const RecentArchive& recent) { return recent.name == name; });
    std::optional<RecentArchive::Data> folderBookmark;
    if (volumeScope_)
        folderBookmark = makeBookmark(*volumeScope_);
    list.insert(list.begin(), RecentArchive{files::newUUIDString(), name, std::move(*bookmark),
                                            std::move(folderBookmark)});
    if (list.size() > maximumRecents)
        list.resize(maximumRecents);
    setRecents(std::move(list));

    const std::string json = encodeRecentArchives(recents_);
    settings_.setData(recentArchivesKey, SettingsStore::Data(json.begin(), json.end()));
}

std::optional<WorkspaceModel::RecentLocation>
WorkspaceModel::resolveRecent(const RecentArchive& recent) {
    RecentLocation location;
    try {
        location.archive = bookmarks::resolveBookmark(recent.bookmark);
    } catch (const std::exception&) {
        setErrorMessage("No se pudo recuperar el acceso. Abre el archivo de nuevo desde el "
                        "selector de archivos.");
        return std::nullopt;
    }
    if (recent.folderBookmark) {
        try {
            Path folder = bookmarks::resolveBookmark(*recent.folderBookmark);
            if (bookmarks::startAccessing(folder))
                location.folder = std::move(folder);
        } catch (const std::exception&) {
            // Without the folder the open asks for it again.
        }
    }
    return location;
}

} // namespace vexa
