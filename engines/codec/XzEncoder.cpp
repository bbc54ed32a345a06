#include "engines/codec/XzEncoder.h"

#include "engines/codec/LzmaStep.h"
#include "engines/codec/PullStream.h"

#include <new>

namespace vexa::codec {

XzEncoder::XzEncoder(std::uint32_t preset) {
    const lzma_ret status = lzma_easy_encoder(&stream_, preset, LZMA_CHECK_CRC64);
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw UnsupportedSettings("liblzma has no such preset");
}

XzEncoder::~XzEncoder() {
    lzma_end(&stream_);
}

bool XzEncoder::encode(CodecBuffers& io, bool end) {
    // Without input nor the end, liblzma makes no progress and says so as an error.
    if (!end && io.inSize == 0)
        return true;
    const bool ended =
        lzmaStep(stream_, io, end, [] { throw EncodingError("liblzma fails to encode"); });
    return end ? ended : io.inSize == 0;
}

} // namespace vexa::codec
