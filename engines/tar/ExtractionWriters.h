#pragma once

#include "ExtractionTree.h"

#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vexa::tar {

// Writes the files of an extraction on a few threads of their own: creating many small files
// is mostly the system's work, and it runs on several cores at once. One thread (the reader
// of the archive) hands over the files in order, each with its data; the data waiting to be
// written stays within a fixed budget, so an entry is never held whole. A failure of any
// write ends the work; the reader meets it at its next call.
class ExtractionWriters {
  public:
    ExtractionWriters(const ExtractionTree& tree, std::size_t threads,
                      std::size_t budget = 16 << 20);
    // Stops the threads; files not written yet are left out.
    ~ExtractionWriters();
    ExtractionWriters(const ExtractionWriters&) = delete;
    ExtractionWriters& operator=(const ExtractionWriters&) = delete;

    // Starts the next file, whose folders the tree has made; `size` is what its data will be.
    void begin(std::string relative, mode_t permissions,
               std::optional<struct timespec> modificationTime, std::int64_t size);
    // Room for up to `wanted` bytes of the current file's data, filled by the caller and then
    // committed; waits while the budget is spent.
    char* reserve(std::size_t wanted, std::size_t& granted);
    void commit(std::size_t count);
    // The current file's data is complete.
    void end();
    // Waits until every file is written and closed; throws the first failure.
    void finish();
    // Throws the first failure of a writing thread, if any.
    void throwIfFailed();

  private:
    struct Chunk {
        std::unique_ptr<char[]> bytes; // left uninitialised: it is filled before use
        std::size_t size = 0;
    };
    struct Job {
        std::string relative;
        mode_t permissions = 0644;
        std::optional<struct timespec> modificationTime;
        std::deque<Chunk> chunks; // full or last, oldest first
        bool complete = false;
        bool queued = false;
    };
    void work();
    void write(Job& job);
    void writeChunk(int descriptor, const Chunk& chunk, const std::string& relative) const;
    // Hands the jobs gathered so far to the threads; one wake-up serves many small files.
    void flush(std::unique_lock<std::mutex>& lock);
    void rethrowLocked();

    const ExtractionTree& tree_;
    const std::size_t budget_;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable chunkAvailable_; // for a thread writing a file not yet complete
    std::condition_variable roomAvailable_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::size_t pendingBytes_ = 0; // data handed over and not yet written
    std::size_t busy_ = 0;         // threads writing a job
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::shared_ptr<Job> current_;
    std::vector<std::shared_ptr<Job>> gathered_; // complete jobs not handed over yet
    std::size_t gatheredBytes_ = 0;
    Chunk filling_; // the current file's chunk being filled
    std::size_t fillingUsed_ = 0;
    std::int64_t remaining_ = 0;
    std::vector<std::thread> threads_;
};

} // namespace vexa::tar
