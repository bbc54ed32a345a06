#pragma once

#include "engines/codec/Decoder.h"

#include <lzma.h>
#include <new>
#include <stdexcept>

namespace vexa::codec {

// One lzma_code call over `io`, for the encoder and the decoders alike: true once the stream has
// ended; lacking memory throws std::bad_alloc, any other failure what `fail` throws.
template <class Fail> bool lzmaStep(lzma_stream& stream, CodecBuffers& io, bool finish, Fail fail) {
    stream.next_in = io.in;
    stream.avail_in = io.inSize;
    stream.next_out = io.out;
    stream.avail_out = io.outSize;
    const lzma_ret status = lzma_code(&stream, finish ? LZMA_FINISH : LZMA_RUN);
    io.in = stream.next_in;
    io.inSize = stream.avail_in;
    io.out = stream.next_out;
    io.outSize = stream.avail_out;
    switch (status) {
    case LZMA_OK:
        return false;
    case LZMA_STREAM_END:
        return true;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        throw std::bad_alloc();
    default:
        fail();
        throw std::logic_error("unreachable");
    }
}

} // namespace vexa::codec
