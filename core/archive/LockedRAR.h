#pragma once

#include "core/archive/ArchiveFailure.h"

namespace vexa {

// The refusal to edit a locked RAR (rar would fail on it with an exit status only); the
// workspace gives it before any dialog, the RAR editor again before it runs the program.
ArchiveFailure lockedRARFailure();

} // namespace vexa
