#include "engines/zip/ZIPOutputFolders.h"

#include "platform/PlatformError.h"

#include <cerrno>
#include <sys/stat.h>

namespace vexa {

void createOutputFolders(const std::filesystem::path& location) {
    std::filesystem::path folder = location;
    if (!folder.has_filename())
        folder = folder.parent_path(); // "a/b/" names the folder "a/b"
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode))
            return;
        throw PlatformError::fromErrno(ENOTDIR, folder.string(), true);
    }
    if (errno != ENOENT)
        throw PlatformError::fromErrno(errno, folder.string(), true);
    const std::filesystem::path parent = folder.parent_path();
    if (parent != folder && !parent.empty())
        createOutputFolders(parent);
    if (::mkdir(folder.c_str(), 0777) == 0)
        return;
    // Workers extracting side by side may make the same folder at the same moment.
    const int error = errno;
    if (error == EEXIST && ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return;
    throw PlatformError::fromErrno(error, folder.string(), true);
}

} // namespace vexa
