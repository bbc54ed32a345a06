#pragma once

#include "engines/codec/Decoder.h"

namespace vexa::codec {

// One codec library's compressor making one stream, fed in pieces. Failures are EncodingError,
// std::bad_alloc.
class Encoder {
  public:
    virtual ~Encoder() = default;
    // Compresses what fits, advancing both buffers. Without `end`, true once the input is used
    // up; with it, true once the stream is complete and written out.
    virtual bool encode(CodecBuffers& io, bool end) = 0;
};

} // namespace vexa::codec
