#pragma once

#include "ExtractionTree.h"
#include "platform/WorkerPool.h"

#include <atomic>
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
// written stays within a fixed budget of reused buffers, so an entry is never held whole.
// Small files travel in groups that share one buffer, so that the threads meet rarely. A
// failure of any write ends the work; the reader meets it at its next call.
class ExtractionWriters {
  public:
    ExtractionWriters(const ExtractionTree& tree, std::size_t threads,
                      std::size_t budget = 16 << 20);
    // Stops the threads; files not written yet are left out.
    ~ExtractionWriters();
    ExtractionWriters(const ExtractionWriters&) = delete;
    ExtractionWriters& operator=(const ExtractionWriters&) = delete;

    // Starts the next file, whose folders the tree has made; `size` is exactly what its data
    // will be.
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
    using Buffer = std::unique_ptr<char[]>; // left uninitialised: it is filled before use
    struct File {
        std::size_t name = 0; // where its relative path starts in its group's names
        mode_t permissions = 0644;
        std::optional<struct timespec> modificationTime;
        std::size_t offset = 0; // of its data in the group's buffer
        std::size_t size = 0;
    };
    // Whole small files sharing one buffer.
    struct Group {
        std::vector<File> files;
        std::string names; // each relative path ends with a NUL
        Buffer buffer;
    };
    // A file too large for a group, written while it is read, one buffer at a time.
    struct Stream {
        std::string relative;
        File file;
        std::deque<std::pair<Buffer, std::size_t>> chunks; // oldest first
        bool complete = false;
    };
    struct Work {
        std::unique_ptr<Group> group;
        std::shared_ptr<Stream> stream;
    };

    void work();
    void writeGroup(Group& group);
    void writeStream(Stream& stream);
    void writeBytes(int descriptor, const char* bytes, std::size_t count,
                    const std::string& relative) const;
    void close(files::FileDescriptor file, const File& meta, const std::string& relative) const;
    // A free buffer of the budget; waits until a writer gives one back.
    Buffer takeBuffer();
    void giveBack(Buffer buffer);
    void hand(Work work);
    void handGroup();
    void pushChunk();
    void fail(std::exception_ptr failure);
    void rethrowLocked();

    const ExtractionTree& tree_;
    const std::size_t bufferCount_;
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable chunkAvailable_; // for a thread writing a stream not yet complete
    std::condition_variable bufferAvailable_;
    std::condition_variable idle_;
    std::deque<Work> queue_;
    std::vector<Buffer> free_;
    std::size_t allocated_ = 0; // buffers made so far, free or in use
    std::size_t busy_ = 0;      // threads writing
    bool stopping_ = false;
    std::atomic<bool> halted_{false}; // a failure or the end: the threads stop writing
    std::exception_ptr failure_;
    // The reader's side: the group being filled, or the stream of the current large file.
    std::unique_ptr<Group> group_;
    std::size_t groupUsed_ = 0;
    std::shared_ptr<Stream> stream_;
    Buffer chunk_;
    std::size_t chunkUsed_ = 0;
    platform::WorkerPool::Lease cores_;
    std::vector<std::thread> threads_;
};

} // namespace vexa::tar
