#include "engines/codec/Inflate.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <zlib.h>

namespace vexa::codec {

namespace {
constexpr std::size_t stepLimit = std::size_t{1} << 30;
constexpr int windowBits = 15;
// Set when the decoder stands at the end of a block header or between blocks, and with it when
// the last block has ended.
constexpr int atBlockStart = 128;
constexpr int afterLastBlock = 64;

void checkZlib(int status) {
    if (status == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (status != Z_OK)
        throw DataError("deflate data does not decode");
}
} // namespace

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

BlockInflateDecoder::BlockInflateDecoder(InflateDecoder::Framing framing)
    : framing_(framing), stream_(std::make_unique<z_stream>()) {
    // A gzip wrapper only: a zlib stream is damage here, not a guess.
    checkZlib(inflateInit2(stream_.get(), framing == InflateDecoder::Framing::gzip ? windowBits + 16
                                                                                   : -windowBits));
}

BlockInflateDecoder::BlockInflateDecoder(const InflateAccessPoint& point, std::uint8_t partialByte)
    : BlockInflateDecoder(InflateDecoder::Framing::raw) {
    if (point.bits > 0)
        checkZlib(inflatePrime(stream_.get(), point.bits, partialByte >> (8 - point.bits)));
    checkZlib(inflateSetDictionary(stream_.get(), point.window.data(),
                                   static_cast<uInt>(point.window.size())));
}

BlockInflateDecoder::~BlockInflateDecoder() {
    inflateEnd(stream_.get());
}

bool BlockInflateDecoder::decode(CodecBuffers& io, bool) {
    return step(io, Z_NO_FLUSH);
}

bool BlockInflateDecoder::decodeToBlock(CodecBuffers& io) {
    return step(io, Z_BLOCK);
}

bool BlockInflateDecoder::step(CodecBuffers& io, int flush) {
    const std::size_t inSize = std::min(io.inSize, stepLimit);
    const std::size_t outSize = std::min(io.outSize, stepLimit);
    stream_->next_in = const_cast<Bytef*>(io.in);
    stream_->avail_in = static_cast<uInt>(inSize);
    stream_->next_out = io.out;
    stream_->avail_out = static_cast<uInt>(outSize);
    const int status = inflate(stream_.get(), flush);
    io.in += inSize - stream_->avail_in;
    io.inSize -= inSize - stream_->avail_in;
    io.out += outSize - stream_->avail_out;
    io.outSize -= outSize - stream_->avail_out;
    switch (status) {
    case Z_STREAM_END:
        return true;
    case Z_OK:
    case Z_BUF_ERROR: // no progress possible until more input or room comes
        return false;
    case Z_MEM_ERROR:
        throw std::bad_alloc();
    default:
        throw DataError("deflate data does not decode");
    }
}

bool BlockInflateDecoder::startNextMember(const std::uint8_t*, std::size_t) {
    if (framing_ != InflateDecoder::Framing::gzip)
        return false;
    checkZlib(inflateReset(stream_.get()));
    return true;
}

std::optional<InflateAccessPoint> BlockInflateDecoder::accessPoint() const {
    if (!(stream_->data_type & atBlockStart) || (stream_->data_type & afterLastBlock))
        return std::nullopt;
    InflateAccessPoint point;
    point.input = static_cast<std::int64_t>(stream_->total_in);
    point.bits = stream_->data_type & 7;
    point.output = static_cast<std::int64_t>(stream_->total_out);
    // zlib's window holds the newest decoded bytes after every call, in order once copied out.
    point.window.resize(std::size_t{1} << windowBits);
    uInt kept = 0;
    checkZlib(inflateGetDictionary(stream_.get(), point.window.data(), &kept));
    point.window.resize(kept);
    return point;
}

std::int64_t BlockInflateDecoder::decodedSize() const {
    return static_cast<std::int64_t>(stream_->total_out);
}

} // namespace vexa::codec
