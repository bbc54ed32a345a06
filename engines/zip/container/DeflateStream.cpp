#include "engines/zip/container/DeflateStream.h"

#include "engines/zip/container/ZipStatus.h"

namespace vexa {

Inflater::~Inflater() {
    if (started_)
        inflateEnd(&stream_);
}

bool Inflater::start() {
    started_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
    return started_;
}

void Inflater::setInput(const uint8_t* data, size_t length) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(length);
}

int Inflater::inflate(uint8_t* out, size_t capacity, size_t* produced, bool* ended) {
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(capacity);
    int result = ::inflate(&stream_, Z_NO_FLUSH);
    *produced = capacity - stream_.avail_out;
    *ended = result == Z_STREAM_END;
    switch (result) {
    case Z_OK:
    case Z_STREAM_END:
    case Z_BUF_ERROR: // no progress possible with this input; the caller brings more
        return zipstatus::ok;
    case Z_MEM_ERROR:
        return zipstatus::internal;
    default:
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
