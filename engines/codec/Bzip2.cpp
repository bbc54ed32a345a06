#include "engines/codec/Bzip2.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <new>

namespace vexa::codec {

namespace {
constexpr std::size_t stepLimit = std::size_t{1} << 30;
}

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
    const std::size_t inSize = std::min(io.inSize, stepLimit);
    const std::size_t outSize = std::min(io.outSize, stepLimit);
    stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(io.in));
    stream_.avail_in = static_cast<unsigned>(inSize);
    stream_.next_out = reinterpret_cast<char*>(io.out);
    stream_.avail_out = static_cast<unsigned>(outSize);
    const int status = BZ2_bzDecompress(&stream_);
    io.in += inSize - stream_.avail_in;
    io.inSize -= inSize - stream_.avail_in;
    io.out += outSize - stream_.avail_out;
    io.outSize -= outSize - stream_.avail_out;
    if (status == BZ_STREAM_END)
        return true;
    if (status == BZ_MEM_ERROR)
        throw std::bad_alloc();
    if (status != BZ_OK)
        throw DataError("bzip2 data does not decode");
    return false;
}

} // namespace vexa::codec
