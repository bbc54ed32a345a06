#include "engines/codec/Deflate.h"

namespace vexa::codec {

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

bool Deflater::setDictionary(const std::uint8_t* data, std::size_t length) {
    return started_ && deflateSetDictionary(&stream_, data, static_cast<uInt>(length)) == Z_OK;
}

} // namespace vexa::codec
