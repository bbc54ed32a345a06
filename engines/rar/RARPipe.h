#pragma once

#include <string_view>

namespace vexa {

// Both ends close on exec, so no other child the program starts inherits them.
struct RARPipe {
    int read = -1;
    int write = -1;
    RARPipe();
    ~RARPipe();
    RARPipe(const RARPipe&) = delete;
    RARPipe& operator=(const RARPipe&) = delete;
    void closeRead() noexcept;
    void closeWrite() noexcept;
};

// Writes to a child's input without letting a child that has gone away end this process with
// SIGPIPE; a failed write is left for the child's end (its status or its event pipe) to tell.
void writeIgnoringBrokenPipe(int fd, std::string_view bytes);

} // namespace vexa
