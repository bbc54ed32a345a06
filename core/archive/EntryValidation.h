#pragma once

#include "core/archive/ArchiveItem.h"

#include <string>
#include <vector>

namespace vexa {

// Refuses unsafe paths (ArchiveFailure::unsafePath) and colliding names, including a file that
// is the ancestor of another entry (ArchiveFailure::duplicate); the first failure wins.
void validateEntries(const std::vector<ArchiveItem>& entries);

// The name key of a path: "/" trimmed at both ends, NFC, lower-cased.
std::string nameKey(const std::string& path);

// A new name the 7z and RAR editors accept: not empty, ".", "..", and without "/", "\" or ":".
// Throws ArchiveFailure::unsafePath carrying the name otherwise.
void checkNewEntryName(const std::string& name);

} // namespace vexa
