#pragma once

#include "engines/codec/Decoder.h"

#include <cstdint>
#include <lzma.h>
#include <span>
#include <vector>

namespace vexa::codec {

// How an LZMA2 encoder searches and what it remembers.
struct Lzma2Settings {
    // liblzma's preset, 0 to 9: the coder's modes and match finder.
    std::uint32_t preset = 6;
    // 0 keeps the preset's dictionary.
    std::uint32_t dictionarySize = 0;
    // How many earlier places the match finder tries for each byte; 0 leaves liblzma's own for
    // the preset. Fewer are faster and find slightly shorter matches.
    std::uint32_t searchDepth = 0;
};

// liblzma's raw LZMA2 encoder (the stream 7z stores in a folder). Failures are
// UnsupportedSettings (settings liblzma refuses), EncodingError, std::bad_alloc.
class LzmaEncoder {
  public:
    // The dictionary of `preset`.
    static std::uint32_t presetDictionary(std::uint32_t preset);
    // What an encoder of `settings` holds.
    static std::uint64_t memoryUsage(const Lzma2Settings& settings);
    // The coder properties a container stores for a stream of `settings`.
    static std::vector<std::uint8_t> properties(const Lzma2Settings& settings);

    // Allocates through lzmaAllocator.
    LzmaEncoder();
    ~LzmaEncoder();
    LzmaEncoder(const LzmaEncoder&) = delete;
    LzmaEncoder& operator=(const LzmaEncoder&) = delete;

    // Starts a new stream that continues from `history`, the bytes a decoder holds just before
    // it (none for a stream on its own), which the start copies. A start with the settings of
    // the last one reuses its allocation.
    void start(const Lzma2Settings& settings, std::span<const std::uint8_t> history = {});
    // Encodes what fits, advancing both buffers; with `end`, finishes the stream once the input
    // is used up. True once the stream has ended.
    bool encode(CodecBuffers& io, bool end);

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

} // namespace vexa::codec
