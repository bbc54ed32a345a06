#pragma once

#include "ByteSource.h"
#include "KeptBlocks.h"
#include "XzBlocks.h"
#include "platform/Progress.h"
#include "platform/WorkerPool.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vexa::tar {

// The decoded stream of an xz-compressed TAR archive for a listing, with its blocks decoded on
// several threads at once, cores borrowed from the process's worker pool (the reader's own
// among them, since it mostly waits for the blocks). Only what a TAR reader looks at between skips
// is kept of each block: the 512-byte records that carry a valid header checksum, the data of the
// headers that describe the next entry (extended headers, long names), and where the stream holds
// zero records; every other byte reads as 0xFF, which no header checksum accepts, and the
// reader asks servedUnreadable whether a header it read held any of them. Every block is
// decoded whole and its check verified. A block that keeps too much (many tiny entries) fails
// with ArchiveFailure::tarFailure, as damage does: the caller then lists the archive from its
// start.
class XzHeaderSource : public LendingSource {
  public:
    // `descriptor` stays the caller's, open at a file of `fileSize` bytes. `countsUnits`: each
    // block's compressed size is added to the completed units once the reader has passed it,
    // and the rest of the file (headers, indexes) at the end. The decoded blocks are kept
    // (see KeptBlocks) as far as xzListingMemory allows.
    XzHeaderSource(int descriptor, std::int64_t fileSize, std::vector<XzBlock> blocks,
                   Progress& progress, bool countsUnits);
    ~XzHeaderSource() override;
    XzHeaderSource(const XzHeaderSource&) = delete;
    XzHeaderSource& operator=(const XzHeaderSource&) = delete;

    // Blocks whose bytes begin on record boundaries, as every xz compressor's blocks of a
    // TAR stream do.
    static bool suits(const std::vector<XzBlock>& blocks);

    std::size_t read(char* buffer, std::size_t capacity) override;
    std::size_t lend(const char** data) override;
    bool skips() const override { return true; }
    std::int64_t skip(std::int64_t count) override;

    // Whether any byte of [from, to) that the reader was given was one not kept: a reader that
    // interpreted those bytes (as a header's) read wrong ones.
    bool servedUnreadable(std::int64_t from, std::int64_t to);

    // The blocks kept whole, once the reader is done.
    KeptBlocks takeKeptBlocks();

  private:
    void stopThreads() noexcept;
    struct Kept {
        std::int64_t offset = 0; // in the stream
        std::size_t start = 0;   // in the sketch's bytes
        std::size_t size = 0;
        std::int64_t end() const { return offset + static_cast<std::int64_t>(size); }
    };
    // What a decoder has made of one block so far, guarded by mutex_; the decoder writes
    // `bytes` beyond what `kept` describes.
    struct Sketch {
        bool done = false;
        std::int64_t scanned = 0; // kept and zeros describe the stream up to here
        std::unique_ptr<char[]> bytes;
        std::vector<Kept> kept;
        std::vector<std::pair<std::int64_t, std::int64_t>> zeros; // [start, end)
        std::shared_ptr<const KeptBlock> whole;                   // the block kept, or null
        std::exception_ptr failure;
        std::uint64_t counted = 0; // in heldBytes_
    };
    void work();
    void sketch(std::size_t index);
    // Waits until the bytes at position_ are scanned, after every block before it, and makes
    // their block current; false at the end of the stream.
    bool reachPosition(std::unique_lock<std::mutex>& lock);

    int descriptor_;
    std::vector<XzBlock> blocks_;
    Progress& progress_;
    bool countsUnits_;
    std::int64_t unitsAtEnd_ = 0;
    std::int64_t total_ = 0;
    std::vector<Sketch> sketches_;
    KeptBlocks keptBlocks_;
    XzListingMemory memory_;
    // By the decoders at work, the sketches waiting and the blocks kept.
    std::atomic<std::uint64_t> heldBytes_{0};
    std::vector<Keeping> keeping_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t nextToSketch_ = 0;
    std::size_t current_ = 0; // the reader's block; those before it are released
    std::size_t window_ = 1;
    std::atomic<bool> stopping_{false};
    std::int64_t position_ = 0;
    std::deque<std::pair<std::int64_t, std::int64_t>> unreadable_; // lent, not yet passed
    platform::WorkerPool::Lease cores_;
    std::vector<std::thread> threads_;
};

} // namespace vexa::tar
