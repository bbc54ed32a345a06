#include "GzipStreamReader.h"

#include "TarReadFailure.h"

#include <algorithm>

namespace vexa::tar {

namespace {
constexpr std::size_t inputBufferSize = 256 * 1024;
// 15-bit window, gzip wrapper only: a zlib or raw stream is damage here, not a guess.
constexpr int gzipWindowBits = 15 + 16;
} // namespace

GzipStreamReader::GzipStreamReader(ByteSource& input)
    : input_(input), inputBuffer_(inputBufferSize) {
    int status = inflateInit2(&stream_, gzipWindowBits);
    if (status == Z_MEM_ERROR)
        throw outOfMemory();
    if (status != Z_OK)
        throw damagedArchive();
}

GzipStreamReader::~GzipStreamReader() {
    inflateEnd(&stream_);
}

bool GzipStreamReader::refill() {
    std::size_t count = input_.read(inputBuffer_.data(), inputBuffer_.size());
    if (count == 0) {
        inputEnded_ = true;
        return false;
    }
    stream_.next_in = reinterpret_cast<Bytef*>(inputBuffer_.data());
    stream_.avail_in = static_cast<uInt>(count);
    return true;
}

void GzipStreamReader::skipZeroPadding() {
    do {
        if (std::any_of(stream_.next_in, stream_.next_in + stream_.avail_in,
                        [](Bytef byte) { return byte != 0; }))
            throw damagedArchive();
        stream_.avail_in = 0;
    } while (refill());
}

std::size_t GzipStreamReader::read(char* buffer, std::size_t capacity) {
    if (outputEnded_ || capacity == 0)
        return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(buffer);
    stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, 1u << 30));
    const uInt wanted = stream_.avail_out;
    while (stream_.avail_out > 0) {
        if (stream_.avail_in == 0 && !inputEnded_ && !refill())
            continue;
        if (stream_.avail_in == 0) {
            // The input is over: fine between members, a truncation inside one; an empty file
            // holds no gzip data at all.
            if (memberOpen_ || !anyMember_)
                throw damagedArchive();
            outputEnded_ = true;
            break;
        }
        if (!memberOpen_ && anyMember_ && *stream_.next_in == 0) {
            // Zeros after the last member are block padding (tape-style writers), which gzip
            // itself accepts; anything else there is damage.
            skipZeroPadding();
            outputEnded_ = true;
            break;
        }
        memberOpen_ = true;
        anyMember_ = true;
        int status = inflate(&stream_, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            memberOpen_ = false;
            // The next member, if any, starts with its own header; inflateReset keeps the
            // unread input.
            if (inflateReset(&stream_) != Z_OK)
                throw damagedArchive();
        } else if (status == Z_MEM_ERROR) {
            throw outOfMemory();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            throw damagedArchive();
        }
    }
    return wanted - stream_.avail_out;
}

} // namespace vexa::tar
