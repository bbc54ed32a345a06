#include "core/archive/JavaArchive.h"
#include "core/archive/TarCompression.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/FormatDetection.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <algorithm>

namespace vexa {

namespace {

bool looksLikeArchive(const std::filesystem::path& location) {
    const std::string extension = text::asciiLowercased(paths::pathExtension(location));
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
