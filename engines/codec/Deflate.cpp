#include "engines/codec/Deflate.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <new>

namespace vexa::codec {

namespace {
// zlib counts its buffers in 32 bits.
constexpr std::size_t stepLimit = std::size_t{1} << 30;
// The system byte of a member written on Unix.
constexpr int unixSystem = 3;
} // namespace

Deflater::~Deflater() {
    if (started_)
        deflateEnd(&stream_);
}

bool Deflater::start(int level) {
    started_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return started_;
}

bool Deflater::startGzip(int level, std::uint32_t modified) {
    // zlib's gzip wrapper is asked for with 16 more window bits.
    started_ =
        deflateInit2(&stream_, level, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    gzipHeader_.time = modified;
    gzipHeader_.os = unixSystem;
    return started_ && deflateSetHeader(&stream_, &gzipHeader_) == Z_OK;
}

bool Deflater::reset() {
    return started_ && deflateReset(&stream_) == Z_OK;
}

bool Deflater::setDictionary(const std::uint8_t* data, std::size_t length) {
    return started_ && deflateSetDictionary(&stream_, data, static_cast<uInt>(length)) == Z_OK;
}

bool Deflater::encode(CodecBuffers& io, bool end) {
    // Without input nor the end, zlib can make no progress and says so as an error.
    if (!end && io.inSize == 0)
        return true;
    const std::size_t inSize = std::min(io.inSize, stepLimit);
    const std::size_t outSize = std::min(io.outSize, stepLimit);
    stream_.next_in = const_cast<Bytef*>(io.in);
    stream_.avail_in = static_cast<uInt>(inSize);
    stream_.next_out = io.out;
    stream_.avail_out = static_cast<uInt>(outSize);
    const int result = started_ ? ::deflate(&stream_, end ? Z_FINISH : Z_NO_FLUSH) : Z_STREAM_ERROR;
    io.in += inSize - stream_.avail_in;
    io.inSize -= inSize - stream_.avail_in;
    io.out += outSize - stream_.avail_out;
    io.outSize -= outSize - stream_.avail_out;
    if (result == Z_STREAM_ERROR)
        throw EncodingError("zlib fails to encode");
    return end ? result == Z_STREAM_END : io.inSize == 0;
}

GzipEncoder::GzipEncoder(int level, std::uint32_t modified) {
    if (level != Z_DEFAULT_COMPRESSION && (level < Z_NO_COMPRESSION || level > Z_BEST_COMPRESSION))
        throw UnsupportedSettings("zlib has no such level");
    if (!deflater_.startGzip(level, modified))
        throw std::bad_alloc();
}

} // namespace vexa::codec
