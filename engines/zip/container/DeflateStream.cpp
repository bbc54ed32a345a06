#include "engines/zip/container/DeflateStream.h"

#include "engines/zip/container/ZipStatus.h"

namespace vexa {

bool Inflater::start() {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_DEFLATE;
    state_.next_in = nullptr;
    state_.avail_in = 0;
    return true;
}

void Inflater::setInput(const uint8_t* data, size_t length) {
    state_.next_in = const_cast<uint8_t*>(data);
    state_.avail_in = static_cast<uint32_t>(length);
}

int Inflater::inflate(uint8_t* out, size_t capacity, size_t* produced, bool* ended) {
    state_.next_out = out;
    state_.avail_out = static_cast<uint32_t>(capacity);
    const int result = isal_inflate(&state_);
    *produced = capacity - state_.avail_out;
    *ended = state_.block_state == ISAL_BLOCK_FINISH;
    switch (result) {
    case ISAL_DECOMP_OK:
    case ISAL_END_INPUT:    // all input taken; the caller brings more
    case ISAL_OUT_OVERFLOW: // the output is full; the caller reads it and comes back
        return zipstatus::ok;
    default: // a broken stream, or one that asks for a preset dictionary
        return zipstatus::format;
    }
}

Deflater::~Deflater() {
    if (started_)
        deflateEnd(&stream_);
}

bool Deflater::start(int level) {
    started_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return started_;
}

bool Deflater::reset() {
    return started_ && deflateReset(&stream_) == Z_OK;
}

bool Deflater::setDictionary(const uint8_t* data, size_t length) {
    return started_ && deflateSetDictionary(&stream_, data, static_cast<uInt>(length)) == Z_OK;
}

} // namespace vexa
