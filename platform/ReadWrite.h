#pragma once

#include <cstddef>
#include <optional>
#include <sys/types.h>

// The one read loop and the one write loop over POSIX descriptors: an interrupted call is made
// again, and a short transfer goes on from where it stopped. With an `offset` they read or write
// there (pread, pwrite) without moving the file position. None of them throws: the callers tell
// their failures in their own terms.
namespace vexa::platform {

// One read that goes on after EINTR: the count read (0 at the end), or -1 with errno set.
ssize_t readSome(int fd, void* buffer, std::size_t size,
                 std::optional<off_t> offset = std::nullopt) noexcept;

// Reads until `size` bytes are in or the end comes: the count read (less than `size` only at the
// end), or -1 with errno set.
ssize_t readFully(int fd, void* buffer, std::size_t size,
                  std::optional<off_t> offset = std::nullopt) noexcept;

// Writes every byte: 0, or the errno of the write that failed. A write that takes no byte at all
// counts as a full disk (ENOSPC) rather than being tried again for ever.
int writeFully(int fd, const void* data, std::size_t size,
               std::optional<off_t> offset = std::nullopt) noexcept;

} // namespace vexa::platform
