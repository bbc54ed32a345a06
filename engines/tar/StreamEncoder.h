#pragma once

#include "core/archive/TarCompression.h"
#include "engines/codec/Encoder.h"

#include <cstddef>
#include <memory>
#include <optional>

namespace vexa::tar {

// The compressor of a TAR archive or single compressed file being written, with the size of
// the output buffers it works best with.
struct StreamEncoder {
    std::unique_ptr<codec::Encoder> encoder;
    std::size_t blockSize = 0;
};

// `level` (1 to 9) is the level the user set, passed to each compressor as its own level;
// without one each compressor uses its own default. A compression of none has no encoder. A
// lack of memory throws the engine's own failure, settings the library refuses
// ArchiveFailure::tarFailure.
StreamEncoder startStreamEncoder(TarCompression compression, std::optional<int> level);

} // namespace vexa::tar
