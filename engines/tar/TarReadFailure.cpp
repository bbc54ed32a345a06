#include "TarReadFailure.h"

namespace vexa::tar {

ArchiveFailure damagedArchive() {
    return ArchiveFailure::tarFailure("el archivo está dañado o incompleto.");
}

ArchiveFailure notTarArchive() {
    return ArchiveFailure::tarFailure("el archivo no tiene un formato compatible.");
}

ArchiveFailure outOfMemory() {
    return ArchiveFailure::tarFailure("no hay memoria suficiente.");
}

} // namespace vexa::tar
