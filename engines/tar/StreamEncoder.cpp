#include "StreamEncoder.h"

#include "TarWriteFailure.h"
#include "engines/codec/Bzip2.h"
#include "engines/codec/Deflate.h"
#include "engines/codec/PullStream.h"
#include "engines/codec/XzEncoder.h"
#include "engines/codec/ZstdEncoder.h"
#include "platform/MemoryBudget.h"

#include <cstdint>
#include <ctime>

namespace vexa::tar {

namespace {

// The library's own job size and overlap give the same archive as the zstd program. That
// program, the comparable writer, runs eight workers with them; a creation may hold what it holds,
// the rest of the program included, so it starts fewer where the rest leaves no room for eight.
constexpr unsigned maximumWorkers = 8;
// The source listing, read-ahead ring, write-behind blocks and the rest of the program.
constexpr std::size_t programShare = 32u << 20;
// The output blocks of the compressors that name none of their own.
constexpr std::size_t outputBlock = 128u << 10;

struct ZstdWorkers {
    int count = 0;
    std::size_t jobSize = 0; // 0: the library's own
};

ZstdWorkers zstdWorkers(int level) {
    using codec::ZstdEncoder;
    const ZstdEncoder::WorkerMemory own = ZstdEncoder::workerMemory(level);
    const std::uint64_t budget = platform::jobMemory(own.fedThroughPipe(maximumWorkers));
    // This writer, fed by the read-ahead, keeps every worker's job busy and its output with it.
    const auto fitting = [budget](const ZstdEncoder::WorkerMemory& memory) {
        return static_cast<int>(platform::workersWithin(budget, programShare + memory.shared,
                                                        memory.perWorker, maximumWorkers));
    };
    const int withOwnJobs = fitting(own);
    if (withOwnJobs >= static_cast<int>(maximumWorkers) || own.outpacesPipe)
        return {withOwnJobs, 0};
    // Where the compressor, not the pipe, sets the pace, the zstd program keeps eight workers
    // busy, and this program's own share leaves no room for as many. Jobs half as long (an
    // archive a quarter of a percent larger) keep the workers within the same memory.
    const ZstdEncoder::WorkerMemory halved = ZstdEncoder::workerMemory(level, own.job / 2);
    const int withHalvedJobs = fitting(halved);
    if (withHalvedJobs <= withOwnJobs)
        return {withOwnJobs, 0};
    return {withHalvedJobs, halved.job};
}

StreamEncoder start(TarCompression compression, std::optional<int> level) {
    switch (compression) {
    case TarCompression::zstd: {
        const int zstdLevel = level.value_or(codec::ZstdEncoder::defaultLevel);
        // One frame with a content checksum, as the zstd program writes it.
        const ZstdWorkers workers = zstdWorkers(zstdLevel);
        return {
            std::make_unique<codec::ZstdEncoder>(zstdLevel, true, workers.count, workers.jobSize),
            codec::ZstdEncoder::outputSize()};
    }
    case TarCompression::gzip:
        // Dated now, as the gzip program dates a member read from a pipe.
        return {
            std::make_unique<codec::GzipEncoder>(level.value_or(codec::GzipEncoder::defaultLevel),
                                                 static_cast<std::uint32_t>(std::time(nullptr))),
            outputBlock};
    case TarCompression::bzip2:
        return {std::make_unique<codec::Bzip2Encoder>(
                    level.value_or(codec::Bzip2Encoder::defaultBlockSize)),
                outputBlock};
    case TarCompression::xz:
        return {std::make_unique<codec::XzEncoder>(level ? static_cast<std::uint32_t>(*level)
                                                         : codec::XzEncoder::defaultPreset),
                outputBlock};
    case TarCompression::none:
        break;
    }
    return {};
}

} // namespace

StreamEncoder startStreamEncoder(TarCompression compression, std::optional<int> level) {
    return asTarEncoding([&] { return start(compression, level); });
}

} // namespace vexa::tar
