#include "engines/codec/Zstd.h"

#include "engines/codec/PullStream.h"

#include <new>
#include <zstd_errors.h>

namespace vexa::codec {

ZstdDecoder::ZstdDecoder() : context_(ZSTD_createDCtx()) {
    if (context_ == nullptr)
        throw std::bad_alloc();
}

ZstdDecoder::~ZstdDecoder() {
    ZSTD_freeDCtx(context_);
}

bool ZstdDecoder::decode(CodecBuffers& io, bool) {
    ZSTD_inBuffer in{io.in, io.inSize, 0};
    ZSTD_outBuffer out{io.out, io.outSize, 0};
    const std::size_t hint = ZSTD_decompressStream(context_, &out, &in);
    io.in += in.pos;
    io.inSize -= in.pos;
    io.out += out.pos;
    io.outSize -= out.pos;
    if (ZSTD_isError(hint)) {
        if (ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation)
            throw std::bad_alloc();
        throw DataError("zstd data does not decode");
    }
    return hint == 0;
}

} // namespace vexa::codec
