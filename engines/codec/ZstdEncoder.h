#pragma once

#include "engines/codec/Encoder.h"

#include <cstddef>
#include <zstd.h>

namespace vexa::codec {

// libzstd's streaming compressor making one frame. Failures are EncodingError, std::bad_alloc.
class ZstdEncoder : public Encoder {
  public:
    static constexpr int defaultLevel = ZSTD_CLEVEL_DEFAULT;
    // What the library's multi-threaded compressor holds at `level`: for all workers together
    // (three jobs of slack and the overlap) and for each one (its tables, one job's input and
    // output). Its own job size is four windows, as the zstd program's.
    struct WorkerMemory {
        std::size_t job = 0;
        std::size_t shared = 0;
        std::size_t perWorker = 0;
        std::size_t output = 0; // of perWorker, one job's
        bool outpacesPipe = false;
        // What the compressor holds with `workers` when a pipe feeds it, as tar feeds the zstd
        // program: at the fast strategies (the lowest levels), which compress a job sooner than
        // a pipe feeds the next, only the jobs of the slack hold their output at once.
        std::size_t fedThroughPipe(unsigned workers) const;
    };
    // `jobSize` 0 is the library's own.
    static WorkerMemory workerMemory(int level, std::size_t jobSize = 0);
    // The output buffer the library works best with: one whole block.
    static std::size_t outputSize() { return ZSTD_CStreamOutSize(); }

    // `workers` 0 compresses on the calling thread; a library built without threads compresses
    // there whatever it is given. `jobSize` 0 leaves the workers' job size to the library.
    explicit ZstdEncoder(int level, bool checksum = false, int workers = 0,
                         std::size_t jobSize = 0);
    ~ZstdEncoder() override;
    ZstdEncoder(const ZstdEncoder&) = delete;
    ZstdEncoder& operator=(const ZstdEncoder&) = delete;

    bool encode(CodecBuffers& io, bool end) override;

  private:
    ZSTD_CCtx* context_;
};

} // namespace vexa::codec
