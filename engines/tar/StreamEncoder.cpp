#include "StreamEncoder.h"

#include "TarReadFailure.h"
#include "TarWriteFailure.h"
#include "engines/codec/Bzip2.h"
#include "engines/codec/Deflate.h"
#include "engines/codec/PullStream.h"
#include "engines/codec/XzEncoder.h"
#include "engines/codec/ZstdEncoder.h"
#include "platform/MemoryBudget.h"

#include <cstdint>
#include <ctime>
#include <new>

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

int zstdWorkers(int level) {
    const codec::ZstdEncoder::WorkerMemory memory = codec::ZstdEncoder::workerMemory(level);
    // This writer, fed by the read-ahead, keeps every worker's job busy and its output with it.
    return static_cast<int>(
        platform::workersWithin(platform::jobMemory(memory.fedThroughPipe(maximumWorkers)),
                                programShare + memory.shared, memory.perWorker, maximumWorkers));
}

StreamEncoder start(TarCompression compression, std::optional<int> level) {
    switch (compression) {
    case TarCompression::zstd: {
        const int zstdLevel = level.value_or(codec::ZstdEncoder::defaultLevel);
        // One frame with a content checksum, as the zstd program writes it.
        return {std::make_unique<codec::ZstdEncoder>(zstdLevel, true, zstdWorkers(zstdLevel)),
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
    try {
        return start(compression, level);
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const codec::EncodingError&) {
        throw writerFailure();
    } catch (const codec::UnsupportedSettings&) {
        throw writerFailure();
    }
}

} // namespace vexa::tar
