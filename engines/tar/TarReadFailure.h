#pragma once

#include "core/archive/ArchiveFailure.h"
#include "engines/codec/PullStream.h"
#include "platform/PlatformError.h"

#include <new>

namespace vexa::tar {

// The short Spanish reasons of the TAR engine's reading failures.
ArchiveFailure damagedArchive(); // damaged or truncated data
ArchiveFailure notTarArchive();  // no TAR (or no known compression) at all
ArchiveFailure outOfMemory();
// A failed read of the archive open at `descriptor`, naming the file as the other reads do.
PlatformError readFailure(int descriptor, int errorNumber);

// Runs `decoding`, the codec layer's failures turned into the engine's own.
template <class Decoding> auto asTarDecoding(Decoding decoding) {
    try {
        return decoding();
    } catch (const codec::DataError&) {
        throw damagedArchive();
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    }
}

} // namespace vexa::tar
