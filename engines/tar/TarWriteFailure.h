#pragma once

#include "core/archive/ArchiveFailure.h"

namespace vexa::tar {

// A compressor or the TAR writer refused the data; the library's own English reason is no
// use to the user.
inline ArchiveFailure writerFailure() {
    return ArchiveFailure::tarFailure("no se pudo escribir el archivo comprimido.");
}

} // namespace vexa::tar
