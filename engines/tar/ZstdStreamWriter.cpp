#include "ZstdStreamWriter.h"

#include "TarReadFailure.h"
#include "TarWriteFailure.h"
#include "platform/FileOperations.h"

#include <unistd.h>
#include <zstd_errors.h>

namespace vexa::tar {

namespace {

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

ZstdStreamWriter::ZstdStreamWriter(int descriptor, std::filesystem::path location, int level)
    : context_(ZSTD_createCCtx()), descriptor_(descriptor), location_(std::move(location)),
      output_(ZSTD_CStreamOutSize()) {
    if (context_ == nullptr)
        throw outOfMemory();
    try {
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level));
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
        long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
        // A library built without threads refuses workers; it still compresses, on this thread.
        if (processors > 0)
            ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, static_cast<int>(processors));
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
    finished_ = true;
}

void ZstdStreamWriter::drain(ZSTD_inBuffer& input, ZSTD_EndDirective directive) {
    for (;;) {
        ZSTD_outBuffer output{output_.data(), output_.size(), 0};
        std::size_t remaining = ZSTD_compressStream2(context_, &output, &input, directive);
        check(remaining);
        if (output.pos > 0)
            files::writeAll(descriptor_, output_.data(), output.pos, location_);
        bool done = directive == ZSTD_e_continue ? input.pos == input.size : remaining == 0;
        if (done)
            return;
    }
}

} // namespace vexa::tar
