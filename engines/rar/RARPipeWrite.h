#pragma once

#include <string_view>

namespace vexa {

// Writes to a child's input without letting a child that has gone away end this process with
// SIGPIPE; a failed write is left for the child's end (its status or its event pipe) to tell.
void writeIgnoringBrokenPipe(int fd, std::string_view bytes);

} // namespace vexa
