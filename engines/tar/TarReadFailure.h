#pragma once

#include "core/archive/ArchiveFailure.h"
#include "platform/PlatformError.h"

namespace vexa::tar {

// The short Spanish reasons of the TAR engine's reading failures.
ArchiveFailure damagedArchive(); // damaged or truncated data
ArchiveFailure notTarArchive();  // no TAR (or no known compression) at all
ArchiveFailure outOfMemory();
// A failed read of the archive open at `descriptor`, naming the file as the other reads do.
PlatformError readFailure(int descriptor, int errorNumber);

} // namespace vexa::tar
