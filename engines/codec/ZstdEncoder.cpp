// For the estimate of a worker's memory.
#define ZSTD_STATIC_LINKING_ONLY
#include "engines/codec/ZstdEncoder.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <new>
#include <zstd_errors.h>

namespace vexa::codec {

namespace {

// The jobs the multi-threaded compressor holds beyond one per worker.
constexpr std::size_t slackJobs = 3;

void check(std::size_t code) {
    if (!ZSTD_isError(code))
        return;
    if (ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation)
        throw std::bad_alloc();
    throw EncodingError(ZSTD_getErrorName(code));
}

} // namespace

ZstdEncoder::WorkerMemory ZstdEncoder::workerMemory(int level, std::size_t jobSize) {
    const ZSTD_compressionParameters parameters =
        ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0);
    const std::size_t window = std::size_t{1} << parameters.windowLog;
    if (jobSize == 0)
        jobSize = std::max<std::size_t>(4 * window, 1u << 20);
    WorkerMemory memory;
    memory.job = jobSize;
    memory.shared = slackJobs * jobSize + window;
    memory.perWorker = ZSTD_estimateCCtxSize_usingCParams(parameters) + 2 * jobSize;
    memory.output = jobSize;
    memory.outpacesPipe = parameters.strategy <= ZSTD_dfast;
    return memory;
}

std::size_t ZstdEncoder::WorkerMemory::fedThroughPipe(unsigned workers) const {
    const std::size_t all = shared + workers * perWorker;
    if (!outpacesPipe || workers <= slackJobs)
        return all;
    return all - (workers - slackJobs) * output;
}

ZstdEncoder::ZstdEncoder(int level, bool checksum, int workers, std::size_t jobSize)
    : context_(ZSTD_createCCtx()) {
    if (context_ == nullptr)
        throw std::bad_alloc();
    try {
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level));
        if (checksum)
            check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
        if (workers > 0 &&
            ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, workers)) == 0 &&
            jobSize > 0)
            check(ZSTD_CCtx_setParameter(context_, ZSTD_c_jobSize, static_cast<int>(jobSize)));
    } catch (...) {
        ZSTD_freeCCtx(context_);
        throw;
    }
}

ZstdEncoder::~ZstdEncoder() {
    ZSTD_freeCCtx(context_);
}

bool ZstdEncoder::encode(CodecBuffers& io, bool end) {
    ZSTD_inBuffer in{io.in, io.inSize, 0};
    ZSTD_outBuffer out{io.out, io.outSize, 0};
    const std::size_t remaining =
        ZSTD_compressStream2(context_, &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
    io.in += in.pos;
    io.inSize -= in.pos;
    io.out += out.pos;
    io.outSize -= out.pos;
    check(remaining);
    return end ? remaining == 0 : io.inSize == 0;
}

} // namespace vexa::codec
