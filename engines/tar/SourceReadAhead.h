#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/BlockPipe.h"
#include "platform/Progress.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <vector>

namespace vexa::tar {

// The collected source items of a new archive, read ahead of the writer and in its order by a
// few threads of their own through the platform's block pipe, so that the writer's thread only
// sequences headers and data. A file is read in pieces of at most `pieceSize` bytes, each
// opened on its own so that no piece waits for another; small files share a block, a few at a
// time. A piece keeps the file's status from before and after its reading, which lets the
// writer tell a file that changed meanwhile. (DecoderReadAhead, by contrast, reads one decoded
// stream ahead of its reader.)
class SourceReadAhead {
  public:
    static constexpr std::size_t pieceSize = 256 * 1024;

    struct Piece {
        const std::string* path = nullptr;
        const RARSourceEntry* source = nullptr;
        bool first = false; // the first piece of its item: the header goes out with it
        bool last = false;
        std::int64_t offset = 0;
        std::size_t wanted = 0; // the collected size's share
        // What was read: fewer than `wanted` bytes when the file shrank.
        const char* data = nullptr;
        std::size_t length = 0;
        // A folder's mode and date are in `before` alone.
        struct stat before {};
        struct stat after {};
        timespec readAt{}; // CLOCK_REALTIME_COARSE before the piece was opened
        // The platform's error opening, reading or looking at the item.
        std::exception_ptr failure;
    };

    // Starts reading `entries` (which must outlive this object unchanged) within about
    // `ringSize` bytes and `pieces` pieces on up to `readers` threads. The threads stop when
    // `progress` is cancelled.
    SourceReadAhead(const SourceEntryMap& entries, const Progress& progress,
                    std::size_t ringSize = 4u << 20, std::size_t pieces = 1024,
                    unsigned readers = 4);
    // Stops and joins the threads.
    ~SourceReadAhead();
    SourceReadAhead(const SourceReadAhead&) = delete;
    SourceReadAhead& operator=(const SourceReadAhead&) = delete;

    // The next piece in order once it is read, or nullptr after the last; the piece before it
    // is given back and must not be used any more. Throws CancellationError when `progress` is
    // cancelled.
    const Piece* next();

  private:
    void run();
    // The share of the next piece to claim.
    std::size_t nextWanted() const;
    // Claims the next piece into `pieces`, at `position` in its block; needs mutex_.
    void claimPiece(std::vector<Piece>& pieces, std::size_t position);
    void readPiece(Piece& piece, char* memory);

    const Progress& progress_;
    const SourceEntryMap& entries_;
    const std::size_t batch_; // most pieces in one block
    platform::BlockPipe pipe_;
    std::vector<std::vector<Piece>> blockPieces_; // those of block n at n % blockCount
    // Under mutex_: the next piece to claim. Blocks are claimed under it too, so that their
    // order is the items'.
    std::mutex mutex_;
    SourceEntryMap::const_iterator nextEntry_;
    std::int64_t nextOffset_ = 0;
    std::atomic<unsigned> running_{0}; // the last reader to finish ends the pipe
    // The writer's own: the block it holds and its piece there.
    std::uint64_t taken_ = 0;
    bool holding_ = false;
    std::size_t current_ = 0;
    std::vector<std::thread> threads_;
};

} // namespace vexa::tar
