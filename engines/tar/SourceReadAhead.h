#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <atomic>
#include <condition_variable>
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
// few threads of their own into a fixed ring of memory, so that the writer's thread only
// sequences headers and data. A file is read in pieces of at most `pieceSize` bytes, each
// opened on its own so that no piece waits for another; a piece keeps the file's status from
// before and after its reading, which lets the writer tell a file that changed meanwhile.
// (DecoderReadAhead, by contrast, reads one decoded stream ahead of its reader.)
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

    // Starts reading `entries` (which must outlive this object unchanged) within `ringSize`
    // bytes and `pieces` pieces on up to `readers` threads. The threads stop when `progress` is
    // cancelled.
    SourceReadAhead(const SourceEntryMap& entries, const Progress& progress,
                    std::size_t ringSize = 2u << 20, std::size_t pieces = 1024,
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
    struct Slot : Piece {
        std::uint64_t index = 0;    // of the piece, counted from the first
        std::uint64_t position = 0; // in the ring, counted from its start without wrapping
        // Set by its reader once read, cleared by the writer once used.
        std::atomic<bool> ready{false};
    };
    void run();
    // The share of the next piece to claim, and where in the ring it would go.
    std::size_t nextWanted() const;
    std::uint64_t startFor(std::size_t wanted) const;
    bool claimable() const;
    Slot& claim();
    void readPiece(Slot& slot);
    // Tells the readers what the writer has given back; needs mutex_.
    void publish();
    void stop();

    const Progress& progress_;
    const SourceEntryMap& entries_;
    std::vector<char> ring_;
    std::vector<Slot> slots_; // piece n is in slots_[n % size]
    std::mutex mutex_;
    std::condition_variable space_;   // readers wait for a piece to claim and room for it
    std::condition_variable arrived_; // the writer waits for its piece
    // Under mutex_: the next piece to claim, the ring taken up to the last piece claimed, and
    // what the writer has given back as far as it told.
    SourceEntryMap::const_iterator nextEntry_;
    std::int64_t nextOffset_ = 0;
    std::uint64_t claimed_ = 0;
    std::uint64_t reserved_ = 0;
    std::uint64_t released_ = 0; // the ring before it is free again
    std::uint64_t consumed_ = 0; // pieces used by the writer
    bool stopping_ = false;
    // The writer's own: the piece it is at and the ring before it given back. It tells the
    // readers (publish) once an eighth of the ring or of the pieces is free again, not for every
    // piece, and always before it waits for one.
    std::uint64_t current_ = 0;
    std::uint64_t releasedHere_ = 0;
    bool started_ = false;
    // The piece the writer waits for, or none.
    static constexpr std::uint64_t nothing = ~std::uint64_t{0};
    std::atomic<std::uint64_t> awaited_{nothing};
    std::vector<std::thread> threads_;
};

} // namespace vexa::tar
