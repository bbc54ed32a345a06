#pragma once

#include "platform/SystemMemory.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vexa {

// liblzma's raw LZMA2 encoder, set for one 7z level (1 to 9). Each call compresses one segment
// of a folder on its own, starting from the bytes before it in the folder (at the folder's
// start, from a dictionary reset), so segments compressed on several threads can be joined into
// the folder's one LZMA2 stream: every segment but the stream's end carries no end marker.
// Stretches of a segment that look random and hold no repeats are stored as uncompressed LZMA2
// chunks without running the encoder: they would not shrink, and encoding them costs as much as
// text.
// Reuse one object per thread; it is not shared.
class SevenZipLzma2Encoder {
  public:
    // `largestInput` caps the dictionary: a dictionary larger than the data only costs memory.
    explicit SevenZipLzma2Encoder(int level, std::uint64_t largestInput = UINT64_MAX);
    ~SevenZipLzma2Encoder();
    SevenZipLzma2Encoder(const SevenZipLzma2Encoder&) = delete;
    SevenZipLzma2Encoder& operator=(const SevenZipLzma2Encoder&) = delete;

    // Appends the compressed `data` to `output`, without the end marker. The `history` bytes
    // before `data` are the folder's bytes just before it (0 at the folder's start); `data`
    // starts at a multiple of 16 bytes into the folder. With `finishedInput`, the buffer that
    // holds exactly the history and `data`, the pages of it that the encoder is done with go
    // back to the system as it goes, so that an encoder holds little more than its output; the
    // buffer is not to be read afterwards. Throws sevenZipFailure when the library fails,
    // std::bad_alloc when it runs out of memory.
    void compressSegment(const std::uint8_t* data, std::size_t size, std::size_t history,
                         platform::SystemBytes& output,
                         platform::SystemBytes* finishedInput = nullptr);

    // The single byte that ends an LZMA2 stream.
    static constexpr std::uint8_t endMarker = 0x00;
    // The coder properties 7z stores for this level (the dictionary size byte).
    std::vector<std::uint8_t> properties() const;
    // Bytes the encoder may use, for sizing the number of threads.
    static std::uint64_t memoryUsage(int level);
    // Input bytes per segment at `level`, and the bytes before it a segment starts from.
    static std::size_t segmentSize(int level);
    static std::size_t historySize(int level);

  private:
    void compressRun(const std::uint8_t* data, std::size_t size, std::size_t history,
                     platform::SystemBytes& output);
    void finishedBefore(const std::uint8_t* position);

    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa
