#pragma once

#include <cstddef>
#include <cstdint>

struct ZSTD_DCtx_s;

namespace vexa::codec {

// libzstd's buffer-less decoder: a frame decoded block by block straight into a round buffer of
// the caller's, which must hold the frame's window behind every block. Failures are DataError,
// std::bad_alloc.
class ZstdBlockDecoder {
  public:
    // The largest block a frame holds.
    static constexpr std::size_t maximumBlock = std::size_t{128} << 10;

    struct FrameHeader {
        bool skippable = false;
        // The whole size of a skippable frame, its header included.
        unsigned long long skippedSize = 0;
        std::uint64_t window = 0;
        std::size_t blockSizeMax = 0;
    };
    // 0 once `header` is read from the first `available` bytes, or how many it needs.
    static std::size_t readFrameHeader(const void* in, std::size_t available, FrameHeader& header);
    // The largest window the library's own streaming decoder accepts.
    static std::uint64_t windowLimit();
    // The smallest round buffer that decodes a frame of `window`.
    static std::size_t bufferSize(std::uint64_t window);

    ZstdBlockDecoder();
    ~ZstdBlockDecoder();
    ZstdBlockDecoder(const ZstdBlockDecoder&) = delete;
    ZstdBlockDecoder& operator=(const ZstdBlockDecoder&) = delete;

    // Starts a frame, its header included among the steps.
    void beginFrame();
    // The input bytes the next step takes; 0 once the frame has ended.
    std::size_t nextInputSize();
    // Decodes the next step's `size` input bytes into `room` bytes at `out`; how many it wrote.
    std::size_t step(void* out, std::size_t room, const void* in, std::size_t size);

  private:
    ZSTD_DCtx_s* context_;
};

} // namespace vexa::codec
