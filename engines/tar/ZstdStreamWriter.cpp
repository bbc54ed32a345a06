#include "ZstdStreamWriter.h"

#include "TarReadFailure.h"
#include "TarWriteFailure.h"
#include "engines/codec/PullStream.h"
#include "platform/FileOperations.h"
#include "platform/MemoryBudget.h"

#include <cstdint>
#include <new>

namespace vexa::tar {

namespace {

// The library's own job size and overlap give the same archive as the zstd program. That
// program, the comparable writer, runs eight workers with them; a creation may hold what it holds,
// the rest of the program included, so it starts fewer where the rest leaves no room for eight.
constexpr unsigned maximumWorkers = 8;
// The source listing, read-ahead ring, write-behind blocks and the rest of the program.
constexpr std::size_t programShare = 32u << 20;

int workerCount(int level) {
    const auto [shared, perWorker] = codec::ZstdEncoder::workerMemory(level);
    const std::uint64_t peer = shared + std::size_t{maximumWorkers} * perWorker;
    return static_cast<int>(platform::workersWithin(
        platform::jobMemory(peer), programShare + shared, perWorker, maximumWorkers));
}

codec::ZstdEncoder startEncoder(int level) {
    try {
        return codec::ZstdEncoder(level, true, workerCount(level));
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const codec::EncodingError&) {
        throw writerFailure();
    }
}

} // namespace

ZstdStreamWriter::ZstdStreamWriter(int descriptor, std::filesystem::path location, int level,
                                   std::function<void(std::int64_t)> wrote)
    : encoder_(startEncoder(level)),
      output_(codec::ZstdEncoder::outputSize(), 8,
              [descriptor, location = std::move(location), wrote = std::move(wrote),
               length = std::int64_t{0}](const char* data, std::size_t size) mutable {
                  files::writeAll(descriptor, data, size, location);
                  length += static_cast<std::int64_t>(size);
                  if (wrote)
                      wrote(length);
              }) {}

ZstdStreamWriter::~ZstdStreamWriter() = default;

void ZstdStreamWriter::write(const void* data, std::size_t size) {
    codec::CodecBuffers io;
    io.in = static_cast<const std::uint8_t*>(data);
    io.inSize = size;
    drain(io, false);
}

void ZstdStreamWriter::finish() {
    if (finished_)
        return;
    codec::CodecBuffers io;
    drain(io, true);
    output_.finish();
    finished_ = true;
}

void ZstdStreamWriter::drain(codec::CodecBuffers& io, bool end) {
    for (;;) {
        io.out = reinterpret_cast<std::uint8_t*>(output_.block());
        io.outSize = output_.blockSize();
        bool done = false;
        try {
            done = encoder_.encode(io, end);
        } catch (const std::bad_alloc&) {
            throw outOfMemory();
        } catch (const codec::EncodingError&) {
            throw writerFailure();
        }
        output_.hand(output_.blockSize() - io.outSize);
        if (done)
            return;
    }
}

} // namespace vexa::tar
