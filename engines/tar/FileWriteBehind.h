#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::tar {

// Writes the blocks handed to it to an open file, in order, on a thread of its own, so that
// the thread that makes them (a compressor) does not also wait for the file. A failure of the
// file (a full disk) is thrown by the next call of the maker's.
class FileWriteBehind {
  public:
    // `descriptor` stays owned by the caller. `wrote`, when given, hears the file's length
    // after every write, on the writing thread.
    FileWriteBehind(int descriptor, std::filesystem::path location, std::size_t blockSize,
                    std::size_t blockCount, std::function<void(std::int64_t)> wrote = {});
    // Stops the thread; what was not written yet is dropped.
    ~FileWriteBehind();
    FileWriteBehind(const FileWriteBehind&) = delete;
    FileWriteBehind& operator=(const FileWriteBehind&) = delete;

    std::size_t blockSize() const { return blockSize_; }
    // A block to fill, once one is free; it stays the maker's until handed over.
    char* block();
    // Hands over the block from block(), holding `length` bytes; a block of none is kept.
    void hand(std::size_t length);
    // Waits until everything handed over is in the file.
    void finish();
    // The bytes in the file so far.
    std::int64_t length() const;

  private:
    void run();
    void rethrowFailure();

    int descriptor_;
    std::filesystem::path location_;
    std::size_t blockSize_;
    std::function<void(std::int64_t)> wrote_;
    std::vector<std::vector<char>> blocks_;
    std::vector<std::size_t> lengths_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t handed_ = 0;  // blocks handed over so far
    std::uint64_t written_ = 0; // of them, in the file
    std::int64_t length_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace vexa::tar
