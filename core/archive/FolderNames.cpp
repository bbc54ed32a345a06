#include "core/archive/FolderNames.h"

#include "platform/PlatformError.h"

#include <cerrno>
#include <dirent.h>
#include <memory>

namespace vexa {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

} // namespace

std::vector<std::string> folderChildNames(const std::filesystem::path& folder) {
    std::unique_ptr<DIR, DirectoryCloser> directory(opendir(folder.c_str()));
    if (!directory)
        throw PlatformError::fromErrno(errno, folder.string(), false);
    std::vector<std::string> names;
    for (;;) {
        // readdir reports an error only through errno.
        errno = 0;
        const dirent* record = readdir(directory.get());
        if (!record) {
            if (errno != 0)
                throw PlatformError::fromErrno(errno, folder.string(), false);
            return names;
        }
        std::string name = record->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
}

} // namespace vexa
