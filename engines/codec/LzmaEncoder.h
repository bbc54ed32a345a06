#pragma once

#include "engines/codec/Decoder.h"

#include <cstdint>
#include <lzma.h>
#include <vector>

namespace vexa::codec {

// liblzma's raw encoder for a filter chain (as 7z stores it). Failures are
// UnsupportedSettings (a chain liblzma refuses), EncodingError, std::bad_alloc.
class LzmaEncoder {
  public:
    // liblzma's options for preset `level` (0 to 9).
    static lzma_options_lzma preset(std::uint32_t level);
    // What an encoder of `filters` holds; `filters` end with LZMA_VLI_UNKNOWN.
    static std::uint64_t memoryUsage(const lzma_filter* filters);
    // The coder properties a container stores for `filter`.
    static std::vector<std::uint8_t> properties(const lzma_filter& filter);

    // The allocator, when given, must outlive the encoder.
    explicit LzmaEncoder(const lzma_allocator* allocator = nullptr);
    ~LzmaEncoder();
    LzmaEncoder(const LzmaEncoder&) = delete;
    LzmaEncoder& operator=(const LzmaEncoder&) = delete;

    // Starts a new stream on `filters`, which must stay valid while it is encoded; a start with
    // the options of the last one reuses its allocation.
    void start(const lzma_filter* filters);
    // Encodes what fits, advancing both buffers; with `end`, finishes the stream once the input
    // is used up. True once the stream has ended.
    bool encode(CodecBuffers& io, bool end);

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

} // namespace vexa::codec
