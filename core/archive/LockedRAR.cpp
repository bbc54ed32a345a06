#include "core/archive/LockedRAR.h"

namespace vexa {

ArchiveFailure lockedRARFailure() {
    return ArchiveFailure::rarEdit(
        "el archivo está bloqueado y el programa RAR no permite modificarlo.");
}

} // namespace vexa
