// For the estimate of a worker's memory.
#define ZSTD_STATIC_LINKING_ONLY
#include "ZstdStreamWriter.h"

#include "TarReadFailure.h"
#include "TarWriteFailure.h"
#include "platform/FileOperations.h"
#include "platform/MemoryBudget.h"

#include <algorithm>
#include <cstdint>
#include <zstd_errors.h>

namespace vexa::tar {

namespace {

// The library's multi-threaded compressor holds, for every worker, its tables and the input and
// output of one job, and for all of them three jobs of slack and the overlap. Its own job size
// (four windows) and overlap give the same archive as the zstd program. That program, the
// comparable writer, runs eight workers with them; a creation may hold what it holds, the rest
// of the program included, so it starts fewer where the rest leaves no room for eight.
constexpr unsigned maximumWorkers = 8;
// The source listing, read-ahead ring, write-behind blocks and the rest of the program.
constexpr std::size_t programShare = 32u << 20;

int workerCount(int level) {
    ZSTD_compressionParameters parameters = ZSTD_getCParams(level, ZSTD_CONTENTSIZE_UNKNOWN, 0);
    const std::size_t window = std::size_t{1} << parameters.windowLog;
    const std::size_t jobSize = std::max<std::size_t>(4 * window, 1u << 20);
    const std::size_t shared = 3 * jobSize + window;
    const std::size_t perWorker = ZSTD_estimateCCtxSize_usingCParams(parameters) + 2 * jobSize;
    const std::uint64_t peer = shared + std::size_t{maximumWorkers} * perWorker;
    return static_cast<int>(platform::workersWithin(
        platform::jobMemory(peer), programShare + shared, perWorker, maximumWorkers));
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
      output_(ZSTD_CStreamOutSize(), 8,
              [descriptor, location = std::move(location), wrote = std::move(wrote),
               length = std::int64_t{0}](const char* data, std::size_t size) mutable {
                  files::writeAll(descriptor, data, size, location);
                  length += static_cast<std::int64_t>(size);
                  if (wrote)
                      wrote(length);
              }) {
    if (context_ == nullptr)
        throw outOfMemory();
    try {
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level));
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
        // A library built without threads refuses workers; it still compresses, on this thread.
        ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, workerCount(level));
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
