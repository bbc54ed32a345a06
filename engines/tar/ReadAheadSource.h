#pragma once

#include "ByteSource.h"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::tar {

// Runs another source's reads (a decoder over the archive file) on a thread of its own, a few
// blocks ahead of the reader, the way a pipe from a separate decompressor would: decoding and
// whatever the reader does with the data overlap. A failure of the inner source reaches the
// reader after the data that came before it. The inner source must outlive this object.
class ReadAheadSource : public LendingSource {
  public:
    explicit ReadAheadSource(ByteSource& inner, std::size_t blockSize = 512 * 1024,
                             std::size_t blockCount = 4);
    // Stops the thread; the inner source may be left in the middle of a read's worth of data.
    ~ReadAheadSource() override;
    ReadAheadSource(const ReadAheadSource&) = delete;
    ReadAheadSource& operator=(const ReadAheadSource&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override;
    // The next decoded bytes without a copy; they stay valid until the next call of read or
    // lend. 0 only at the end of the data.
    std::size_t lend(const char** data) override;

  private:
    struct Block {
        std::vector<char> bytes;
        std::size_t size = 0;
    };
    void produce();
    // Waits for the next filled block and makes it current; false at the end.
    bool advance();

    ByteSource& inner_;
    std::vector<Block> blocks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t filled_ = 0;   // blocks handed to the reader so far, counting from the start
    std::size_t produced_ = 0; // blocks completed by the thread
    bool ended_ = false;       // the thread met the end or a failure after `produced_` blocks
    bool stopping_ = false;
    std::exception_ptr failure_;
    // The reader's current block and its position in it.
    Block* current_ = nullptr;
    std::size_t position_ = 0;
    bool readerEnded_ = false;
    std::thread thread_;
};

} // namespace vexa::tar
