// For the estimate of a worker's memory.
#define ZSTD_STATIC_LINKING_ONLY
#include "ZstdStreamWriter.h"

#include "TarReadFailure.h"
#include "TarWriteFailure.h"

#include <algorithm>
#include <unistd.h>
#include <zstd_errors.h>

namespace vexa::tar {

namespace {

// The library's multi-threaded compressor holds, for every worker, its tables and the output
// of one job, and for all of them a ring of input of one job per worker, three jobs of slack
// and the overlap. Its own job size (four windows) costs over 100 MiB on eight cores; 1 MiB
// jobs and as many workers as fit a fixed budget keep a whole creation of a 200 MB tree of
// 20,000 files within 64 MiB (six workers at level 3, four at level 6). Each job starts from
// a quarter of a window of the data before it: compressing the data before a job again costs
// as much as compressing new data, so half a window with 512 KiB jobs took three times the
// work for 1.5 % less output than this (about 2.5 % more than one stream gives).
constexpr int jobSize = 1 << 20;
constexpr int overlapLog = 7;
constexpr std::size_t budget = 26u << 20;
constexpr long maximumWorkers = 8;

int workerCount(int level) {
    long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (processors <= 0)
        return 0;
    ZSTD_compressionParameters parameters = ZSTD_getCParams(level, jobSize, 0);
    // The stream's own window, which the overlap is a share of.
    unsigned windowLog = ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0).windowLog;
    std::size_t overlap = (std::size_t{1} << windowLog) >> (9 - overlapLog);
    std::size_t shared = 3 * jobSize + overlap;
    std::size_t perWorker = ZSTD_estimateCCtxSize_usingCParams(parameters) + 2 * jobSize;
    std::size_t fitting = budget > shared ? (budget - shared) / perWorker : 0;
    long affordable = static_cast<long>(std::max<std::size_t>(fitting, 1));
    return static_cast<int>(std::min({processors, maximumWorkers, affordable}));
}

[[noreturn]] void failWith(std::size_t code) {
    if (ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation)
        throw outOfMemory();
    throw writerFailure();
}

void check(std::size_t code) {
    if (ZSTD_isError(code))
        failWith(code);
}

} // namespace

ZstdStreamWriter::ZstdStreamWriter(int descriptor, std::filesystem::path location, int level,
                                   std::function<void(std::int64_t)> wrote)
    : context_(ZSTD_createCCtx()),
      output_(descriptor, std::move(location), ZSTD_CStreamOutSize(), 8, std::move(wrote)) {
    if (context_ == nullptr)
        throw outOfMemory();
    try {
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level));
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
        // A library built without threads refuses workers; it still compresses, on this thread.
        if (int workers = workerCount(level); workers > 0) {
            ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, workers);
            ZSTD_CCtx_setParameter(context_, ZSTD_c_jobSize, jobSize);
            ZSTD_CCtx_setParameter(context_, ZSTD_c_overlapLog, overlapLog);
        }
    } catch (...) {
        ZSTD_freeCCtx(context_);
        throw;
    }
}

ZstdStreamWriter::~ZstdStreamWriter() {
    ZSTD_freeCCtx(context_);
}

void ZstdStreamWriter::write(const void* data, std::size_t size) {
    ZSTD_inBuffer input{data, size, 0};
    drain(input, ZSTD_e_continue);
}

void ZstdStreamWriter::finish() {
    if (finished_)
        return;
    ZSTD_inBuffer input{nullptr, 0, 0};
    drain(input, ZSTD_e_end);
    output_.finish();
    finished_ = true;
}

void ZstdStreamWriter::drain(ZSTD_inBuffer& input, ZSTD_EndDirective directive) {
    for (;;) {
        ZSTD_outBuffer output{output_.block(), output_.blockSize(), 0};
        std::size_t remaining = ZSTD_compressStream2(context_, &output, &input, directive);
        check(remaining);
        output_.hand(output.pos);
        bool done = directive == ZSTD_e_continue ? input.pos == input.size : remaining == 0;
        if (done)
            return;
    }
}

} // namespace vexa::tar
