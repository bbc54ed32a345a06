#pragma once

#include "ByteSource.h"
#include "engines/codec/ZstdBlocks.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::tar {

// Decodes a zstd file of one or more frames on a thread of its own, a few MiB ahead of the
// reader, straight into a ring of decoded bytes that the reader borrows where they lie: the
// decoder's output is never copied on its way to the reader, and decoding overlaps whatever
// the reader does with the data. Damaged or truncated data, and frames that would need a
// window beyond the library's default limit, reach the reader as ArchiveFailure::tarFailure
// after the data that came before them. The input must outlive this object.
class ZstdRingReader : public LendingSource {
  public:
    explicit ZstdRingReader(ByteSource& input, std::size_t ahead = 4 << 20);
    // Stops the thread; the input may be left anywhere.
    ~ZstdRingReader() override;
    ZstdRingReader(const ZstdRingReader&) = delete;
    ZstdRingReader& operator=(const ZstdRingReader&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override;
    std::size_t lend(const char** data) override;

    // Whether the bytes begin a zstd frame or a skippable frame.
    static bool hasMagic(const char* bytes, std::size_t count);

  private:
    struct Span {
        std::size_t start = 0; // in the ring
        std::size_t size = 0;
    };
    void decodeAll();
    void decodeFrame(std::size_t window, std::size_t blockSizeMax);
    // Makes the ring hold at least `size` bytes once the reader has given back all it held.
    void prepareRing(std::size_t size);
    // Room for a block at the write position, once the reader has given back what lies there.
    std::size_t awaitRoom(std::size_t blockSizeMax);
    void publish(std::size_t count);
    // At least `count` input bytes in a row at input(); false when the input ends before.
    bool fill(std::size_t count);
    const char* input() const { return in_.data() + inStart_; }
    std::size_t inputAvailable() const { return inEnd_ - inStart_; }
    void discardInput(unsigned long long count);
    // The next decoded span as the reader's current one; false at the end.
    bool advance();

    ByteSource& input_;
    const std::size_t ahead_;
    codec::ZstdBlockDecoder decoder_;
    // Decoding thread only. The input is read a block at a time, as much as the decoder asks
    // for: the bytes stay in a small buffer that the caches hold, and no block is ever split.
    std::vector<char> in_;
    std::size_t inStart_ = 0;
    std::size_t inEnd_ = 0;
    std::size_t write_ = 0;

    std::vector<char> ring_;
    std::mutex mutex_;
    // One side wakes the other only for a good share of the ring, not for every block: on a
    // busy machine every wake-up waits for a core.
    std::condition_variable dataReady_; // the reader waits
    std::condition_variable roomFreed_; // the decoder waits
    std::size_t wakeSize_ = 0;
    std::deque<Span> ready_; // decoded, not yet lent, oldest first
    std::size_t readyBytes_ = 0;
    Span lent_; // what the reader holds
    bool readerWaiting_ = false;
    enum class Need { nothing, room, emptyRing, frontFree };
    Need decoderNeeds_ = Need::nothing;
    std::size_t roomNeeded_ = 0;
    // The room at the write position, and whether bytes the reader holds or has not taken yet
    // are what limits it.
    std::size_t roomLocked(bool& limitedByReader) const;
    bool decoderMayGoLocked() const;
    // Wakes a waiting reader and waits until it has freed what the decoder needs.
    void waitForReaderLocked(std::unique_lock<std::mutex>& lock, Need need);
    bool ended_ = false; // the decoding met the end or a failure
    bool stopping_ = false;
    std::exception_ptr failure_;
    // The reader's position in the span it holds.
    std::size_t position_ = 0;
    bool readerEnded_ = false;
    std::thread thread_;
};

} // namespace vexa::tar
