#include "engines/zip/ZIPParallelCopy.h"

#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/container/ZipHandle.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa {

namespace {

// Large enough that a piece's system calls cost little against its bytes, small enough that
// the threads' buffers stay a few MiB.
constexpr std::int64_t pieceSize = 2 << 20;

} // namespace

std::uint32_t copyStoredInParallel(ZipHandle& zip, std::int64_t size, int fd,
                                   const std::filesystem::path& location, Progress& progress,
                                   unsigned threads) {
    const auto pieces = static_cast<std::size_t>((size + pieceSize - 1) / pieceSize);
    std::vector<std::uint32_t> crcs(pieces);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failureMutex;
    // The first failed piece; the pieces before it are still written, so that the failure
    // reported is the one a single pass would meet first.
    std::atomic<std::size_t> failedAt{pieces};
    std::exception_ptr failure;
    // Pieces are written in turn, in order: writers of one file queue on its inode lock in the
    // kernel, spinning there, while a thread waiting here sleeps and the others read on.
    std::mutex turnMutex;
    std::condition_variable turnChanged;
    std::size_t turn = 0;

    const auto work = [&] {
        const auto buffer =
            std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(pieceSize));
        while (!stop.load()) {
            const std::size_t index = next.fetch_add(1);
            if (index >= pieces)
                return;
            try {
                progress.throwIfCancelled();
                const std::int64_t offset = static_cast<std::int64_t>(index) * pieceSize;
                const auto length = static_cast<std::size_t>(std::min(pieceSize, size - offset));
                std::size_t got = 0;
                while (got < length) {
                    const std::int64_t count = zip.entryReadAt(
                        static_cast<std::uint64_t>(offset) + got, buffer.get() + got, length - got);
                    if (count <= 0)
                        ZIPArchiveEngine::check(count < 0 ? static_cast<int>(count)
                                                          : zipstatus::endOfStream);
                    got += static_cast<std::size_t>(count);
                }
                crcs[index] = platform::crc32(0, buffer.get(), length);
                bool mine = false;
                {
                    std::unique_lock lock(turnMutex);
                    turnChanged.wait(lock,
                                     [&] { return turn == index || index > failedAt.load(); });
                    mine = turn == index;
                }
                if (!mine)
                    return;
                files::writeAllAt(fd, buffer.get(), length, static_cast<off_t>(offset), location);
                {
                    std::lock_guard lock(turnMutex);
                    ++turn;
                }
                turnChanged.notify_all();
                progress.addCompletedUnits(static_cast<std::int64_t>(length));
            } catch (...) {
                {
                    std::lock_guard lock(failureMutex);
                    if (index < failedAt.load()) {
                        failedAt = index;
                        failure = std::current_exception();
                    }
                }
                {
                    std::lock_guard lock(turnMutex);
                    stop = true;
                }
                turnChanged.notify_all();
                return;
            }
        }
    };

    platform::WorkerPool::process().run(std::clamp<std::size_t>(threads, 1, pieces),
                                        [&](std::size_t) { work(); });
    if (failure)
        std::rethrow_exception(failure);

    std::uint32_t crc = pieces > 0 ? crcs[0] : 0;
    for (std::size_t i = 1; i < pieces; ++i)
        crc = platform::crc32Combine(
            crc, crcs[i],
            static_cast<std::uint64_t>(
                std::min(pieceSize, size - static_cast<std::int64_t>(i) * pieceSize)));
    return crc;
}

} // namespace vexa
