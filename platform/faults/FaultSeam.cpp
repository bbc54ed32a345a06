// The seam itself: the C library's write, rename and mkdir calls, taken over so that the plan of
// FaultInjection.h sees every one the program makes, whichever library makes it. Linked into
// a test program (its definitions come before the C library's) or preloaded into a whole
// program; each call goes on to the C library's own function.
#include "platform/FaultInjection.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define VEXA_SEAM extern "C" __attribute__((visibility("default")))

namespace {

using vexa::faults::Call;

template <typename Function> Function real(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// The file behind a descriptor, or empty for pipes, sockets and terminals.
std::string fileOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// An absolute path with its folder resolved, as the plan's folder is; the item itself may not
// exist yet.
std::string absolute(int folderFd, const char* path) {
    if (path == nullptr)
        return {};
    std::string text(path);
    if (text.empty() || text.front() != '/') {
        char base[PATH_MAX];
        if (folderFd == AT_FDCWD) {
            if (::getcwd(base, sizeof base) == nullptr)
                return text;
            text = std::string(base) + "/" + text;
        } else {
            const std::string link = "/proc/self/fd/" + std::to_string(folderFd);
            const ssize_t length = ::readlink(link.c_str(), base, sizeof base - 1);
            if (length <= 0)
                return text;
            text = std::string(base, static_cast<std::size_t>(length)) + "/" + text;
        }
    }
    const std::size_t slash = text.find_last_of('/');
    char resolved[PATH_MAX];
    const std::string parent = slash == 0 ? "/" : text.substr(0, slash);
    if (::realpath(parent.c_str(), resolved) == nullptr)
        return text;
    return std::string(resolved) + text.substr(slash);
}

int writeFault(int fd) {
    if (!vexa::faults::isArmed())
        return 0;
    const std::string file = fileOf(fd);
    return file.empty() ? 0 : vexa::faults::consult(Call::write, file.c_str());
}

int renameFault(int fromFd, const char* from, int toFd, const char* to) {
    if (!vexa::faults::isArmed())
        return 0;
    return vexa::faults::consult(Call::rename, absolute(toFd, to).c_str(),
                                 absolute(fromFd, from).c_str());
}

} // namespace

VEXA_SEAM ssize_t write(int fd, const void* data, size_t size) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    if (const int error = writeFault(fd)) {
        errno = error;
        return -1;
    }
    return next(fd, data, size);
}

VEXA_SEAM ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (const int error = writeFault(fd)) {
        errno = error;
        return -1;
    }
    return next(fd, data, size, offset);
}

VEXA_SEAM ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    if (const int error = writeFault(fd)) {
        errno = error;
        return -1;
    }
    return next(fd, data, size, offset);
}

VEXA_SEAM ssize_t writev(int fd, const struct iovec* parts, int count) {
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
    if (const int error = writeFault(fd)) {
        errno = error;
        return -1;
    }
    return next(fd, parts, count);
}

VEXA_SEAM ssize_t copy_file_range(int input, off64_t* inputOffset, int output,
                                  off64_t* outputOffset, size_t size, unsigned int flags) {
    static const auto next =
        real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int)>("copy_file_range");
    if (const int error = writeFault(output)) {
        errno = error;
        return -1;
    }
    return next(input, inputOffset, output, outputOffset, size, flags);
}

VEXA_SEAM int rename(const char* from, const char* to) noexcept {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    if (const int error = renameFault(AT_FDCWD, from, AT_FDCWD, to)) {
        errno = error;
        return -1;
    }
    return next(from, to);
}

VEXA_SEAM int renameat(int fromFd, const char* from, int toFd, const char* to) noexcept {
    static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
    if (const int error = renameFault(fromFd, from, toFd, to)) {
        errno = error;
        return -1;
    }
    return next(fromFd, from, toFd, to);
}

VEXA_SEAM int renameat2(int fromFd, const char* from, int toFd, const char* to,
                        unsigned int flags) noexcept {
    static const auto next =
        real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    if (const int error = renameFault(fromFd, from, toFd, to)) {
        errno = error;
        return -1;
    }
    return next(fromFd, from, toFd, to, flags);
}

// A hard link is how a move refuses an existing name where the kernel lacks the flag for it.
VEXA_SEAM int link(const char* from, const char* to) noexcept {
    static const auto next = real<int (*)(const char*, const char*)>("link");
    if (const int error = renameFault(AT_FDCWD, from, AT_FDCWD, to)) {
        errno = error;
        return -1;
    }
    return next(from, to);
}

VEXA_SEAM int mkdir(const char* path, mode_t mode) noexcept {
    static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
    if (vexa::faults::isArmed()) {
        if (const int error =
                vexa::faults::consult(Call::folder, absolute(AT_FDCWD, path).c_str())) {
            errno = error;
            return -1;
        }
    }
    return next(path, mode);
}

VEXA_SEAM int mkdirat(int folderFd, const char* path, mode_t mode) noexcept {
    static const auto next = real<int (*)(int, const char*, mode_t)>("mkdirat");
    if (vexa::faults::isArmed()) {
        if (const int error =
                vexa::faults::consult(Call::folder, absolute(folderFd, path).c_str())) {
            errno = error;
            return -1;
        }
    }
    return next(folderFd, path, mode);
}
