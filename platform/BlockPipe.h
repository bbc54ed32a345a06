#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

// The one bounded pipe of blocks between two threads, for write-behind (the maker fills blocks,
// a thread of the pipe's own empties them into a file) and read-ahead (a thread of the pipe's
// own fills blocks from a decoder, the reader takes them). At most `blockCount` blocks are in
// flight, so memory stays fixed however far one side runs ahead; a failure of either side
// reaches the other at its next call, after the blocks handed over before it.
namespace vexa::platform {

class BlockPipe {
  public:
    // At least two blocks, so that both sides can work at once.
    BlockPipe(std::size_t blockSize, std::size_t blockCount);
    BlockPipe(const BlockPipe&) = delete;
    BlockPipe& operator=(const BlockPipe&) = delete;

    std::size_t blockSize() const { return blockSize_; }

    // The filling side. A free block to fill, once one is; nullptr once the pipe is stopped.
    // Throws the emptying side's failure instead.
    char* fillable();
    // Hands over the block from fillable() holding `length` bytes; a block of none is kept.
    void hand(std::size_t length);
    // Nothing more comes; `failure`, when given, reaches the emptying side after the blocks.
    void end(std::exception_ptr failure = nullptr);
    // Waits until every block handed over was given back; throws the emptying side's failure.
    void awaitEmptied();

    // The filling side shared by several threads that fill blocks at once and finish them in
    // any order (a pipe is filled either this way or through fillable and hand, never both).
    // The next free block in order and its number, counted from 0, so that the filler can keep
    // what belongs with the block beside the pipe (at number % blockCount()); nothing once the
    // pipe is stopped.
    struct Claim {
        char* data = nullptr;
        std::uint64_t number = 0;
    };
    std::optional<Claim> claim();
    // Block `number` from claim() is filled with `length` bytes (maybe none, since what goes
    // with it may matter); the emptying side takes the blocks in the order they were claimed.
    void handClaimed(std::uint64_t number, std::size_t length);
    std::size_t blockCount() const { return blockCount_; }

    // The emptying side. The oldest block handed over and not taken yet, once there is one; it
    // stays the taker's until given back. Nothing at the end, or once stopped; at the end, the
    // filling side's failure is thrown instead.
    std::optional<std::span<char>> take();
    // Gives back the oldest block taken.
    void giveBack();
    // The emptying side's failure, for the filling side's next call.
    void fail(std::exception_ptr failure);

    // Ends every wait of both sides for good.
    void stop();

  private:
    const std::size_t blockSize_;
    const std::size_t blockCount_;
    std::unique_ptr<char[]> memory_;
    std::unique_ptr<std::size_t[]> lengths_;
    std::unique_ptr<bool[]> filled_; // of the blocks claimed and not handed over yet
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t claimed_ = 0;  // blocks claimed so far, by fillers that share the pipe
    std::uint64_t handed_ = 0;   // blocks handed over so far
    std::uint64_t taken_ = 0;    // of them, taken
    std::uint64_t returned_ = 0; // of them, given back
    bool ended_ = false;
    bool stopped_ = false;
    std::exception_ptr fillFailure_;
    std::exception_ptr emptyFailure_;
};

// Write-behind: blocks the caller fills go to `drain` on a thread of the pipe's own, in order,
// so that the thread making them never waits for the file.
class WriteBehind {
  public:
    WriteBehind(std::size_t blockSize, std::size_t blockCount,
                std::function<void(const char* data, std::size_t size)> drain);
    // Stops after the block being drained; blocks not drained yet are dropped.
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    std::size_t blockSize() const { return pipe_.blockSize(); }
    // A block to fill, once one is free; it stays the caller's until handed over. Throws the
    // drain's failure instead.
    char* block();
    // Hands over the block from block(), holding `length` bytes; a block of none is kept.
    void hand(std::size_t length) { pipe_.hand(length); }
    // Waits until everything handed over has been drained; throws the drain's failure.
    void finish() { pipe_.awaitEmptied(); }
    // The bytes drained so far.
    std::int64_t drained() const { return drained_.load(); }

  private:
    void run();

    BlockPipe pipe_;
    std::function<void(const char*, std::size_t)> drain_;
    std::atomic<std::int64_t> drained_{0};
    // Last, so that it starts after everything it uses and is joined before they go.
    std::jthread thread_;
};

// Read-ahead: a thread of the pipe's own fills blocks from `fill` (which gives the bytes it
// put in the buffer, 0 at the end), a few blocks ahead of the reader, as a pipe from a separate
// decompressor would. A failure of `fill` reaches the reader after the data before it.
class ReadAhead {
  public:
    ReadAhead(std::size_t blockSize, std::size_t blockCount,
              std::function<std::size_t(char* buffer, std::size_t capacity)> fill);
    // Stops the thread; `fill` may be left in the middle of its data.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    std::size_t read(char* buffer, std::size_t capacity);
    // The next bytes without a copy; they stay valid until the next call of read or lend. 0 only
    // at the end of the data.
    std::size_t lend(const char** data);

  private:
    void run();
    // Makes the next block current; false at the end.
    bool advance();

    BlockPipe pipe_;
    std::function<std::size_t(char*, std::size_t)> fill_;
    std::span<char> current_;
    bool holding_ = false;
    std::size_t position_ = 0;
    bool ended_ = false;
    std::jthread thread_;
};

} // namespace vexa::platform
