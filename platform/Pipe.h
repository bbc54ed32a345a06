#pragma once

#include <string_view>

namespace vexa::platform {

// A pipe whose ends close on exec, so that only the child they are handed to inherits them.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe(); // throws PlatformError
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead() noexcept;
    void closeWrite() noexcept;
};

// Writes to a child's input without letting a child that has gone away end this process with
// SIGPIPE; a failed write is left for the child's end (its status or its output) to tell.
void writeIgnoringBrokenPipe(int fd, std::string_view bytes);

} // namespace vexa::platform
