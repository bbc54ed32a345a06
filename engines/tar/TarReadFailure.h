#pragma once

#include "core/archive/ArchiveFailure.h"

namespace vexa::tar {

// The short Spanish reasons of the TAR engine's reading failures.
ArchiveFailure damagedArchive(); // damaged or truncated data
ArchiveFailure notTarArchive();  // no TAR (or no known compression) at all
ArchiveFailure outOfMemory();

} // namespace vexa::tar
