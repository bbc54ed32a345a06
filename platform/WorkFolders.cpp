#include "platform/WorkFolders.h"

#include "platform/FileOperations.h"
#include "platform/Paths.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vexa::files {

namespace {

constexpr std::array<const char*, 4> kWorkPrefixes = {".vexa-extract-", ".vexa-replace-",
                                                      "vexa-enlaces-", "Vexa-preview-"};

struct HeldFolder {
    int descriptor = -1;
    Path userItem;
};

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, HeldFolder>& registry() {
    static std::map<std::string, HeldFolder> folders;
    return folders;
}

std::string keyOf(const Path& folder) {
    return paths::standardized(folder).string();
}

bool isReplacementName(const std::string& name) {
    return name.starts_with(".vexa-replace-");
}

} // namespace

bool isWorkFolderName(const std::string& name) {
    for (const char* prefix : kWorkPrefixes)
        if (name.starts_with(prefix) && name.size() > std::char_traits<char>::length(prefix))
            return true;
    return false;
}

bool holdWorkFolder(const Path& folder, const Path& userItem) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT; // unreadable yet present: usable, only not guarded
    // A sweep may hold the lock for a moment while it removes the folder it found unlocked;
    // once it is done the folder is gone and the caller makes a new one.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_nlink == 0) {
        ::close(fd);
        return false;
    }
    const std::lock_guard guard(registryLock());
    auto& entry = registry()[keyOf(folder)];
    if (entry.descriptor >= 0)
        ::close(entry.descriptor);
    entry = HeldFolder{fd, userItem};
    return true;
}

void releaseWorkFolder(const Path& folder) noexcept {
    try {
        const std::lock_guard guard(registryLock());
        const auto found = registry().find(keyOf(folder));
        if (found == registry().end())
            return;
        ::close(found->second.descriptor);
        registry().erase(found);
    } catch (...) {
    }
}

bool isHeldWorkFolder(const Path& folder) {
    const std::lock_guard guard(registryLock());
    return registry().contains(keyOf(folder));
}

std::optional<Path> userItemForWorkPath(const Path& location) {
    Path prefix;
    std::size_t depth = 0;
    bool found = false;
    std::string workName;
    for (const auto& component : location) {
        if (found) {
            if (!component.empty())
                ++depth;
            continue;
        }
        prefix /= component;
        if (isWorkFolderName(component.string())) {
            found = true;
            workName = component.string();
        }
    }
    if (!found)
        return std::nullopt;
    if (depth > 1 || (depth == 1 && !isReplacementName(workName)))
        return location;
    {
        const std::lock_guard guard(registryLock());
        const auto held = registry().find(keyOf(prefix));
        if (held != registry().end())
            return held->second.userItem;
    }
    return paths::deletingLastPathComponent(prefix);
}

void sweepLeftovers(const Path& folder) noexcept {
    try {
        const int folderFd =
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0)
            return;
        std::vector<std::string> names;
        if (DIR* listing = ::fdopendir(::dup(folderFd))) {
            while (const dirent* entry = ::readdir(listing))
                if (isWorkFolderName(entry->d_name))
                    names.emplace_back(entry->d_name);
            ::closedir(listing);
        }
        for (const std::string& name : names) {
            struct stat seen {};
            if (::fstatat(folderFd, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if ((!S_ISDIR(seen.st_mode) && !S_ISREG(seen.st_mode)) || seen.st_uid != ::geteuid())
                continue;
            const int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat locked {};
            // Held by a running program (this one included): in use, not a leftover.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
                locked.st_ino == seen.st_ino && locked.st_dev == seen.st_dev)
                removeItemIgnoringErrors(folder / name);
            ::close(fd);
        }
        ::close(folderFd);
    } catch (...) {
    }
}

void sweepLeftoversBeside(const Path& item) noexcept {
    try {
        sweepLeftovers(paths::deletingLastPathComponent(paths::resolvingSymlinks(item)));
    } catch (...) {
    }
}

mode_t newFolderPermissions() {
    // Reading the umask through umask(2) would change it for every thread for a moment.
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(0777 & ~mask);
    }
    return 0755;
}

} // namespace vexa::files
