#pragma once

#include "TarReadFailure.h"
#include "core/archive/ArchiveFailure.h"
#include "engines/codec/PullStream.h"

#include <new>

namespace vexa::tar {

// A compressor or the TAR writer refused the data; the library's own English reason is no
// use to the user.
inline ArchiveFailure writerFailure() {
    return ArchiveFailure::tarFailure("no se pudo escribir el archivo comprimido.");
}

// Runs `encoding`, the codec layer's failures turned into the engine's own.
template <class Encoding> auto asTarEncoding(Encoding encoding) {
    try {
        return encoding();
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const codec::EncodingError&) {
        throw writerFailure();
    } catch (const codec::UnsupportedSettings&) {
        throw writerFailure();
    }
}

} // namespace vexa::tar
