#include "engines/codec/Bzip2.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <new>

namespace vexa::codec {

namespace {

constexpr std::size_t stepLimit = std::size_t{1} << 30;

// One libbz2 call over `io`; its status.
template <class Call> int bzipStep(bz_stream& stream, CodecBuffers& io, Call call) {
    const std::size_t inSize = std::min(io.inSize, stepLimit);
    const std::size_t outSize = std::min(io.outSize, stepLimit);
    stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(io.in));
    stream.avail_in = static_cast<unsigned>(inSize);
    stream.next_out = reinterpret_cast<char*>(io.out);
    stream.avail_out = static_cast<unsigned>(outSize);
    const int status = call(&stream);
    io.in += inSize - stream.avail_in;
    io.inSize -= inSize - stream.avail_in;
    io.out += outSize - stream.avail_out;
    io.outSize -= outSize - stream.avail_out;
    return status;
}

} // namespace

Bzip2Decoder::Bzip2Decoder() {
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK)
        throw std::bad_alloc();
}

Bzip2Decoder::~Bzip2Decoder() {
    BZ2_bzDecompressEnd(&stream_);
}

bool Bzip2Decoder::startNextMember(const std::uint8_t* next, std::size_t available) {
    static constexpr std::uint8_t magic[] = {'B', 'Z', 'h'};
    if (!std::equal(next, next + std::min(available, sizeof magic), magic))
        return false;
    BZ2_bzDecompressEnd(&stream_);
    stream_ = bz_stream{};
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK)
        throw std::bad_alloc();
    return true;
}

bool Bzip2Decoder::decode(CodecBuffers& io, bool) {
    const int status = bzipStep(stream_, io, BZ2_bzDecompress);
    if (status == BZ_STREAM_END)
        return true;
    if (status == BZ_MEM_ERROR)
        throw std::bad_alloc();
    if (status != BZ_OK)
        throw DataError("bzip2 data does not decode");
    return false;
}

Bzip2Encoder::Bzip2Encoder(int blockSize) {
    if (blockSize < 1 || blockSize > 9)
        throw UnsupportedSettings("bzip2 has no such block size");
    // Work factor 0 is the library's default fallback threshold.
    if (BZ2_bzCompressInit(&stream_, blockSize, 0, 0) != BZ_OK)
        throw std::bad_alloc();
}

Bzip2Encoder::~Bzip2Encoder() {
    BZ2_bzCompressEnd(&stream_);
}

bool Bzip2Encoder::encode(CodecBuffers& io, bool end) {
    // Without input nor the end, libbz2 makes no progress and says so as an error.
    if (!end && io.inSize == 0)
        return true;
    const int status = bzipStep(stream_, io, [end](bz_stream* stream) {
        return BZ2_bzCompress(stream, end ? BZ_FINISH : BZ_RUN);
    });
    if (status == BZ_STREAM_END)
        return true;
    if (status == BZ_MEM_ERROR)
        throw std::bad_alloc();
    if (status != BZ_RUN_OK && status != BZ_FINISH_OK)
        throw EncodingError("libbz2 fails to encode");
    return !end && io.inSize == 0;
}

} // namespace vexa::codec
