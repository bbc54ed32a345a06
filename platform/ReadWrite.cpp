#include "platform/ReadWrite.h"

#include <cerrno>
#include <unistd.h>

namespace vexa::platform {

ssize_t readSome(int fd, void* buffer, std::size_t size, std::optional<off_t> offset) noexcept {
    for (;;) {
        const ssize_t count =
            offset ? ::pread(fd, buffer, size, *offset) : ::read(fd, buffer, size);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

ssize_t readFully(int fd, void* buffer, std::size_t size, std::optional<off_t> offset) noexcept {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t count = readSome(
            fd, bytes + filled, size - filled,
            offset ? std::optional<off_t>(*offset + static_cast<off_t>(filled)) : std::nullopt);
        if (count < 0)
            return -1;
        if (count == 0)
            break;
        filled += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(filled);
}

int writeFully(int fd, const void* data, std::size_t size, std::optional<off_t> offset) noexcept {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written =
            offset ? ::pwrite(fd, bytes, size, *offset) : ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        if (written == 0)
            return ENOSPC;
        bytes += written;
        size -= static_cast<std::size_t>(written);
        if (offset)
            *offset += written;
    }
    return 0;
}

} // namespace vexa::platform
