#include "engines/codec/Inflate.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstdint>

namespace vexa::codec {

namespace {
constexpr std::size_t stepLimit = std::size_t{1} << 30;
}

InflateDecoder::InflateDecoder(Framing framing) : framing_(framing) {
    start();
}

bool InflateDecoder::startNextMember(const std::uint8_t*, std::size_t) {
    if (framing_ != Framing::gzip)
        return false;
    start();
    return true;
}

void InflateDecoder::start() {
    isal_inflate_init(&state_);
    state_.crc_flag = framing_ == Framing::gzip ? ISAL_GZIP : ISAL_DEFLATE;
    state_.next_in = nullptr;
    state_.avail_in = 0;
}

bool InflateDecoder::decode(CodecBuffers& io, bool) {
    const std::size_t inSize = std::min(io.inSize, stepLimit);
    const std::size_t outSize = std::min(io.outSize, stepLimit);
    state_.next_in = const_cast<std::uint8_t*>(io.in);
    state_.avail_in = static_cast<std::uint32_t>(inSize);
    state_.next_out = io.out;
    state_.avail_out = static_cast<std::uint32_t>(outSize);
    const int result = isal_inflate(&state_);
    io.in += inSize - state_.avail_in;
    io.inSize -= inSize - state_.avail_in;
    io.out += outSize - state_.avail_out;
    io.outSize -= outSize - state_.avail_out;
    switch (result) {
    case ISAL_DECOMP_OK:
    case ISAL_END_INPUT:    // all input taken; more comes with the next step
    case ISAL_OUT_OVERFLOW: // the output is full
        return state_.block_state == ISAL_BLOCK_FINISH;
    default: // a broken stream, a failed gzip check, or one that asks for a preset dictionary
        throw DataError("deflate data does not decode");
    }
}

} // namespace vexa::codec
