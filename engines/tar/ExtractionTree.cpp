#include "ExtractionTree.h"

#include "platform/PlatformError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::tar {

namespace {

// The process's file creation mask, read without changing it (umask() itself sets it, which
// would race every other thread creating files); unknown gives the full mask, so every file
// has its bits set explicitly.
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr)
        return 07777;
    char line[256];
    mode_t mask = 07777;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value);
            break;
        }
    }
    std::fclose(status);
    return mask;
}

std::string trimmed(const std::string& relative) {
    std::size_t first = relative.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    std::size_t last = relative.find_last_not_of('/');
    return relative.substr(first, last - first + 1);
}

} // namespace

ExtractionTree::ExtractionTree(std::filesystem::path root)
    : root_(std::move(root)), umask_(currentUmask()) {}

std::filesystem::path ExtractionTree::locationOf(const std::string& relative) const {
    return relative.empty() ? root_ : root_ / relative;
}

void ExtractionTree::openRoot() {
    if (rootDescriptor_.get() >= 0)
        return;
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw PlatformError::fromErrno(errno, root_.string(), true);
    rootDescriptor_ = files::FileDescriptor(fd);
}

void ExtractionTree::makeFolder(const std::string& folder) {
    if (folder.empty() || made_.contains(folder))
        return;
    openRoot();
    std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos)
        makeFolder(folder.substr(0, slash));
    if (::mkdirat(rootDescriptor_.get(), folder.c_str(), 0755) != 0) {
        int error = errno;
        struct stat status {};
        // Only a real folder may stand where one belongs: a link or a file there is never
        // followed or replaced.
        if (error != EEXIST ||
            ::fstatat(rootDescriptor_.get(), folder.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(status.st_mode))
            throw PlatformError::fromErrno(error, (root_ / folder).string(), true);
    } else if ((0755 & umask_) != 0 &&
               ::fchmodat(rootDescriptor_.get(), folder.c_str(), 0755, 0) != 0) {
        throw PlatformError::fromErrno(errno, (root_ / folder).string(), true);
    }
    made_.insert(folder);
}

std::filesystem::path ExtractionTree::makeFolders(const std::string& relative) {
    std::string folder = trimmed(relative);
    makeFolder(folder);
    return locationOf(folder);
}

void ExtractionTree::makeParentFolders(const std::string& relative) {
    std::string path = trimmed(relative);
    if (path.empty())
        return;
    openRoot();
    std::size_t slash = path.rfind('/');
    makeFolder(slash == std::string::npos ? std::string() : path.substr(0, slash));
}

files::FileDescriptor ExtractionTree::openNewFile(const std::string& relative,
                                                  mode_t permissions) const {
    permissions &= 07777;
    int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = relative.empty()
                 ? ::open(root_.c_str(), flags, permissions)
                 : ::openat(rootDescriptor_.get(), relative.c_str(), flags, permissions);
    if (fd < 0)
        throw PlatformError::fromErrno(errno, locationOf(relative).string(), true);
    files::FileDescriptor file(fd);
    // The creation mask took bits away; the archive's own bits are wanted.
    if ((permissions & umask_) != 0 && ::fchmod(fd, permissions) != 0)
        throw PlatformError::fromErrno(errno, locationOf(relative).string(), true);
    return file;
}

files::FileDescriptor ExtractionTree::createFile(const std::string& relative,
                                                 std::filesystem::path& location) {
    std::string path = trimmed(relative);
    makeParentFolders(path);
    location = locationOf(path);
    return openNewFile(path, 0600);
}

} // namespace vexa::tar
