#include "engines/rar/RARSourceLinks.h"

#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <cerrno>
#include <unistd.h>

namespace vexa {

std::filesystem::path
stageSourcesAsLinks(const std::vector<std::pair<std::filesystem::path, std::string>>& pairs) {
    const auto folder = paths::temporaryDirectory() / ("vexa-enlaces-" + files::newUUIDString());
    files::createDirectory(folder);
    files::ScopedRemoval removal(folder);
    for (const auto& [location, name] : pairs) {
        const auto link = folder / name;
        if (::symlink(location.c_str(), link.c_str()) != 0)
            throw PlatformError::fromErrno(errno, link.string(), true);
    }
    removal.dismiss();
    return folder;
}

} // namespace vexa
