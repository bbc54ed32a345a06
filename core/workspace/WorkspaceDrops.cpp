#include "core/archive/JavaArchive.h"
#include "core/archive/TarCompression.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/FormatDetection.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cctype>

namespace vexa {

namespace {

bool looksLikeArchive(const std::filesystem::path& location) {
    std::string extension = paths::pathExtension(location);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == "zip" || extension == "rar" || extension == "7z" ||
           isRARArchive(location) || isSevenZipArchive(location) ||
           detectTarCompression(location).has_value() || javaArchive(location).has_value();
}

} // namespace

bool WorkspaceModel::handleDroppedURLs(const std::vector<Path>& locations) {
    if (isBusy_ || locations.empty())
        return false;
    if (page_ == WorkspacePage::archive && archive_) {
        addFiles(locations, folder_);
        return true;
    }
    if (locations.size() == 1 && page_ != WorkspacePage::create &&
        looksLikeArchive(locations.front())) {
        openArchive(locations.front(), std::nullopt, std::nullopt);
        return true;
    }
    addSources(locations);
    return true;
}

} // namespace vexa
