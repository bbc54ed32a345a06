#pragma once

#include <cstdint>

namespace vexa {

// What an add does with a new item whose name is already taken in the target folder. The
// model adds with `ask` first and, on ArchiveFailure::conflict, retries with the user's choice.
enum class ArchiveConflictPolicy : std::uint8_t {
    ask = 0,      // fail with ArchiveFailure::conflict carrying the name
    replace = 1,  // the new item replaces the old one; a replaced folder loses all its content
    keepBoth = 2, // the new item is stored under a free variant of its name
    skip = 3,     // new items whose name exists are left out
};

} // namespace vexa
