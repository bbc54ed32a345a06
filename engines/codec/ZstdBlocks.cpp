#define ZSTD_STATIC_LINKING_ONLY // the buffer-less decoding
#include "engines/codec/ZstdBlocks.h"

#include "engines/codec/PullStream.h"

#include <new>
#include <zstd.h>
#include <zstd_errors.h>

namespace vexa::codec {

static_assert(ZstdBlockDecoder::maximumBlock == ZSTD_BLOCKSIZE_MAX);

namespace {

std::size_t checked(std::size_t result) {
    if (!ZSTD_isError(result))
        return result;
    if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation)
        throw std::bad_alloc();
    throw DataError("zstd data does not decode");
}

} // namespace

std::size_t ZstdBlockDecoder::readFrameHeader(const void* in, std::size_t available,
                                              FrameHeader& header) {
    ZSTD_frameHeader read{};
    const std::size_t wanted = checked(ZSTD_getFrameHeader(&read, in, available));
    if (wanted != 0)
        return wanted;
    header.skippable = read.frameType == ZSTD_skippableFrame;
    // The library leaves headerSize unset for skippable frames.
    header.skippedSize = header.skippable ? ZSTD_SKIPPABLEHEADERSIZE + read.frameContentSize : 0;
    header.window = read.windowSize;
    header.blockSizeMax = read.blockSizeMax;
    return 0;
}

std::uint64_t ZstdBlockDecoder::windowLimit() {
    return std::uint64_t{1} << ZSTD_WINDOWLOG_LIMIT_DEFAULT;
}

std::size_t ZstdBlockDecoder::bufferSize(std::uint64_t window) {
    return checked(ZSTD_decodingBufferSize_min(window, ZSTD_CONTENTSIZE_UNKNOWN));
}

ZstdBlockDecoder::ZstdBlockDecoder() : context_(ZSTD_createDCtx()) {
    if (context_ == nullptr)
        throw std::bad_alloc();
}

ZstdBlockDecoder::~ZstdBlockDecoder() {
    ZSTD_freeDCtx(context_);
}

void ZstdBlockDecoder::beginFrame() {
    checked(ZSTD_decompressBegin(context_));
}

std::size_t ZstdBlockDecoder::nextInputSize() {
    return ZSTD_nextSrcSizeToDecompress(context_);
}

std::size_t ZstdBlockDecoder::step(void* out, std::size_t room, const void* in, std::size_t size) {
    return checked(ZSTD_decompressContinue(context_, out, room, in, size));
}

} // namespace vexa::codec
