#include "platform/FileOperations.h"

#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"
#include "platform/WorkFolders.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vexa::files {

namespace {

[[noreturn]] void fail(const Path& location, bool writing, int errorNumber = errno) {
    throw PlatformError::fromErrno(errorNumber, location.string(), writing);
}

FileType typeOf(mode_t mode) {
    if (S_ISREG(mode))
        return FileType::regular;
    if (S_ISDIR(mode))
        return FileType::directory;
    if (S_ISLNK(mode))
        return FileType::symbolicLink;
    return FileType::other;
}

FileAttributes attributesFrom(const struct stat& info) {
    FileAttributes attributes;
    attributes.type = typeOf(info.st_mode);
    attributes.permissions = info.st_mode & 07777;
    attributes.modificationDate = FileTime(std::chrono::duration_cast<FileTime::duration>(
        std::chrono::seconds(info.st_mtim.tv_sec) +
        std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    attributes.size = static_cast<std::int64_t>(info.st_size);
    attributes.fileNumber = static_cast<std::uint64_t>(info.st_ino);
    attributes.deviceNumber = static_cast<std::uint64_t>(info.st_dev);
    return attributes;
}

int renameNoReplace(const Path& from, const Path& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    // File systems without the flag answer EINVAL; old kernels ENOSYS.
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0)
        return -1;
    if (!S_ISDIR(info.st_mode)) {
        // A hard link refuses an existing name atomically; the old name then goes.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return 0;
        }
        if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)
            return -1;
    }
    if (::lstat(to.c_str(), &info) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

// rename(2) over `to`; a folder over a folder that still has contents is swapped with it
// atomically and the old one dropped. Gives 0 or the errno.
int renameOver(const Path& from, const Path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    if (errno != ENOTEMPTY && errno != EEXIST)
        return errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) != 0)
        return errno;
    removeItemIgnoringErrors(from);
    return 0;
}

// Copies the bytes of an open file into another, through the kernel when it can.
void copyContents(int input, int output, const Path& from, const Path& to) {
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        if (kernelCopy) {
            const ssize_t copied =
                ::copy_file_range(input, nullptr, output, nullptr, std::size_t{1} << 30, 0);
            if (copied == 0)
                return;
            if (copied > 0)
                continue;
            if (errno == EINTR)
                continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                fail(to, true);
            kernelCopy = false;
            buffer.resize(std::size_t{1} << 20);
        }
        const ssize_t count = ::read(input, buffer.data(), buffer.size());
        if (count == 0)
            return;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            fail(from, false);
        }
        writeAll(output, buffer.data(), static_cast<std::size_t>(count), to);
    }
}

void copyFile(const Path& from, const Path& to, const struct stat& info) {
    FileDescriptor input(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (input.get() < 0)
        fail(from, false);
    FileDescriptor output(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (output.get() < 0)
        fail(to, true);
    copyContents(input.get(), output.get(), from, to);
    ::fchmod(output.get(), info.st_mode & 07777);
    const struct timespec times[2] = {{0, UTIME_OMIT}, info.st_mtim};
    ::futimens(output.get(), times);
    output.close();
}

void copyTree(const Path& from, const Path& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0)
        fail(from, false);
    if (S_ISLNK(info.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) +
                                 1);
        const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
        if (length < 0)
            fail(from, false);
        if (::symlink(std::string(target.data(), static_cast<std::size_t>(length)).c_str(),
                      to.c_str()) != 0)
            fail(to, true);
        return;
    }
    if (S_ISREG(info.st_mode)) {
        copyFile(from, to, info);
        return;
    }
    if (!S_ISDIR(info.st_mode))
        fail(from, false, ENOTSUP);
    if (::mkdir(to.c_str(), 0700) != 0)
        fail(to, true);
    std::error_code error;
    std::filesystem::directory_iterator children(from, error);
    if (error)
        fail(from, false, error.value());
    for (const auto& child : children)
        copyTree(child.path(), to / child.path().filename());
    ::chmod(to.c_str(), info.st_mode & 07777);
    const struct timespec times[2] = {{0, UTIME_OMIT}, info.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// chmod without following a final link, which Linux offers only through the descriptor's
// /proc entry. A link is left as it is. Gives 0 or the errno.
int changeModeNoFollow(int folder, const char* name, mode_t permissions) {
    const int fd = ::openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info {};
    int error = ::fstat(fd, &info) == 0 ? 0 : errno;
    if (error == 0 && !S_ISLNK(info.st_mode)) {
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
        error = ::chmod(procPath.c_str(), permissions) == 0 ? 0 : errno;
        // No /proc: the small window since the check above is all that is left.
        if (error == ENOENT)
            error = ::fchmodat(folder, name, permissions, 0) == 0 ? 0 : errno;
    }
    ::close(fd);
    return error;
}

// Removes `name` inside the folder `parent` without ever leaving the tree through a link:
// every folder is opened relative to its parent with O_NOFOLLOW. Folders out of archives may
// be read-only; inside the tree being removed their permissions are opened up first, but the
// folder that holds the removed item is never changed.
void removeEntry(int parent, const char* name, bool insideTree) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT)
        return;
    if ((errno == EACCES || errno == EPERM) && insideTree) {
        ::fchmod(parent, 0700);
        if (::unlinkat(parent, name, 0) == 0)
            return;
    }
    if (errno != EISDIR && errno != EPERM)
        return;
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EACCES && changeModeNoFollow(parent, name, 0700) == 0)
        fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fchmod(fd, 0700);
    DIR* folder = ::fdopendir(fd);
    if (folder == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..")
            names.push_back(child);
    }
    for (const std::string& child : names)
        removeEntry(fd, child.c_str(), true);
    ::closedir(folder);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// The item a location stands for: the file a link leads to, else the location itself.
Path finalItem(const Path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return paths::resolvingSymlinks(location);
    return location;
}

// The new file takes the place of the old one for its owner too: same permission bits, same
// owner and group where the process may set them (root, or a group the user belongs to).
void adoptOwnerAndMode(const Path& replacement, const struct stat& original) {
    struct stat info {};
    if (::lstat(replacement.c_str(), &info) == 0 &&
        (info.st_uid != original.st_uid || info.st_gid != original.st_gid)) {
        if (::lchown(replacement.c_str(), original.st_uid, original.st_gid) != 0)
            ::lchown(replacement.c_str(), static_cast<uid_t>(-1), original.st_gid);
    }
    // After the owner, since a change of owner clears the set-id bits.
    ::chmod(replacement.c_str(), original.st_mode & 07777);
}

} // namespace

FileAttributes attributesOfItem(const Path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0)
        fail(location, false);
    return attributesFrom(info);
}

std::optional<FileAttributes> attributesIfExists(const Path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        fail(location, false);
    }
    return attributesFrom(info);
}

std::optional<FileAttributes> targetAttributesIfExists(const Path& location) {
    struct stat info {};
    if (::stat(location.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return std::nullopt;
        fail(location, false);
    }
    return attributesFrom(info);
}

bool fileExists(const Path& location) {
    struct stat info {};
    return ::lstat(location.c_str(), &info) == 0;
}

bool isExecutableFile(const Path& location) {
    struct stat info {};
    return ::stat(location.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(location.c_str(), X_OK) == 0;
}

void setPermissions(const Path& location, mode_t permissions) {
    // Linux cannot change a link's own mode, and following it could reach a file outside the
    // folder being worked on, so a link is left alone.
    if (const int error = changeModeNoFollow(AT_FDCWD, location.c_str(), permissions & 07777))
        fail(location, true, error);
}

void setModificationDate(const Path& location, FileTime date) {
    const auto since = date.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
    const struct timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())}};
    if (::utimensat(AT_FDCWD, location.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        fail(location, true);
}

FileTime fileTimeOf(const struct timespec& time) {
    return FileTime(std::chrono::duration_cast<FileTime::duration>(
        std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
}

Path itemReplacementDirectory(const Path& target) {
    // Beside the target, so that the final rename stays on one file system; beside the file a
    // link leads to, since that file is what gets replaced.
    const Path parent = paths::deletingLastPathComponent(finalItem(target));
    sweepLeftovers(parent);
    for (int attempt = 0;; ++attempt) {
        const Path candidate = parent / (".vexa-replace-" + newUUIDString());
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            if (holdWorkFolder(candidate, target))
                return candidate;
            errno = EEXIST; // swept before the lock was taken: make another
        }
        // Named after what the user asked to write, never after the work folder.
        if (errno != EEXIST || attempt >= 8)
            fail(target, true);
    }
}

void replaceItem(const Path& given, const Path& replacement) {
    // Through a link the file it leads to is replaced and the link stays.
    const Path original = finalItem(given);
    struct stat originalInfo {};
    const bool hadOriginal = ::lstat(original.c_str(), &originalInfo) == 0;
    struct stat replacementInfo {};
    if (::lstat(replacement.c_str(), &replacementInfo) != 0)
        fail(replacement, false);
    const bool adopt =
        hadOriginal && S_ISREG(originalInfo.st_mode) && S_ISREG(replacementInfo.st_mode);
    if (adopt)
        adoptOwnerAndMode(replacement, originalInfo);
    const int error = renameOver(replacement, original);
    if (error == 0) {
        releaseWorkFolder(replacement);
        return;
    }
    if (error != EXDEV)
        fail(original, true, error);
    // Another file system: copy beside the original first, then rename over it, so that a
    // failed copy never touches the original. The copy sits in a held work folder so that
    // another run's sweep cannot take it half-way.
    const ScopedRemoval folder(itemReplacementDirectory(given));
    const Path staging = folder.location() / paths::lastPathComponent(original);
    copyTree(replacement, staging);
    if (adopt)
        adoptOwnerAndMode(staging, originalInfo);
    if (const int stagingError = renameOver(staging, original))
        fail(original, true, stagingError);
    removeItemIgnoringErrors(replacement);
}

void moveItem(const Path& from, const Path& to) {
    if (renameNoReplace(from, to) != 0) {
        const int error = errno;
        if (error != EXDEV)
            fail(error == ENOENT && !fileExists(from) ? from : to, true, error);
        copyItem(from, to);
        removeItemIgnoringErrors(from);
    }
    // A work folder moved into place (a finished extraction) is the user's folder now: it was
    // private while it filled and gets what any new folder gets.
    if (isHeldWorkFolder(from)) {
        releaseWorkFolder(from);
        if (!isWorkFolderName(paths::lastPathComponent(to)))
            ::chmod(to.c_str(), newFolderPermissions());
    }
}

void placeItem(const Path& item, const Path& destination) {
    if (fileExists(destination))
        replaceItem(destination, item);
    else
        moveItem(item, destination);
}

void copyItem(const Path& from, const Path& to) {
    if (fileExists(to))
        fail(to, true, EEXIST);
    try {
        // A link given as the item stands for what it leads to (an archive opened through a
        // link); links inside a copied folder stay links.
        copyTree(finalItem(from), to);
    } catch (...) {
        // A half copy must not be mistaken for a finished one.
        if (fileExists(to))
            removeItemIgnoringErrors(to);
        throw;
    }
}

void removeItemIgnoringErrors(const Path& location) noexcept {
    if (location.empty())
        return;
    try {
        const Path parent = paths::deletingLastPathComponent(location);
        const std::string name = paths::lastPathComponent(location);
        if (name.empty() || name == "/" || name == "." || name == "..")
            return;
        const int parentFd =
            ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parentFd < 0)
            return;
        removeEntry(parentFd, name.c_str(), false);
        ::close(parentFd);
        releaseWorkFolder(location);
    } catch (...) {
    }
}

void createDirectory(const Path& location, mode_t permissions) {
    const Path parent = paths::deletingLastPathComponent(location);
    // A work folder is locked while in use; the unlocked ones met where it goes are leftovers.
    const bool work = isWorkFolderName(paths::lastPathComponent(location));
    if (work)
        sweepLeftovers(parent);
    for (int attempt = 0;; ++attempt) {
        if (::mkdir(location.c_str(), 0700) != 0)
            fail(work ? parent : location, true);
        // mkdir's mode passes through the umask; the caller asked for these exact bits.
        if (::chmod(location.c_str(), permissions & 07777) != 0) {
            const int error = errno;
            // Another run's sweep may take a work folder in the moment before it is locked.
            if (work && error == ENOENT && attempt < 3)
                continue;
            ::rmdir(location.c_str());
            fail(location, true, error);
        }
        if (!work || holdWorkFolder(location, parent))
            return;
        if (attempt >= 3)
            fail(location, true, ENOENT);
    }
}

int createPrivateFile(const Path& location) {
    const int fd =
        ::open(location.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        fail(location, true);
    return fd;
}

int createFile(const Path& location, mode_t permissions) {
    const int fd = createPrivateFile(location);
    if (::fchmod(fd, permissions & 07777) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(location.c_str());
        fail(location, true, error);
    }
    return fd;
}

std::string newUUIDString() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            fail("/dev/urandom", false, error);
        }
        filled += static_cast<std::size_t>(count);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            text.push_back('-');
        text.push_back(digits[bytes[index] >> 4]);
        text.push_back(digits[bytes[index] & 0x0F]);
    }
    return text;
}

void writeAllAt(int fd, const void* data, std::size_t size, off_t offset, const Path& location) {
    if (const int error = platform::writeFully(fd, data, size, offset))
        fail(location, true, error);
}

void writeAll(int fd, const void* data, std::size_t size, const Path& location) {
    if (const int error = platform::writeFully(fd, data, size))
        fail(location, true, error);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

int FileDescriptor::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::close() {
    const int fd = release();
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        fail(Path(), true, error);
    }
}

} // namespace vexa::files
