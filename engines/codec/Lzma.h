#pragma once

#include "engines/codec/Decoder.h"

#include <cstdint>
#include <lzma.h>

namespace vexa::codec {

// liblzma's decoders: a raw filter chain (as 7z stores it) or .xz streams, concatenated ones
// included.
class LzmaDecoder : public Decoder {
  public:
    // `filters` in encoding order, ended by LZMA_VLI_UNKNOWN; the allocator, when given, must
    // outlive the decoder. Throws UnsupportedSettings for a chain liblzma refuses.
    static LzmaDecoder raw(const lzma_filter* filters, const lzma_allocator* allocator = nullptr);
    static LzmaDecoder xz(std::uint64_t memoryLimit = UINT64_MAX);
    // .xz streams on up to `threads` cores, as many as `threadingMemory` holds; past it one
    // thread decodes as it reads, whatever the dictionary.
    static LzmaDecoder xzThreaded(std::uint32_t threads, std::uint64_t threadingMemory);

    LzmaDecoder(LzmaDecoder&& other) noexcept;
    LzmaDecoder& operator=(LzmaDecoder&&) = delete;
    ~LzmaDecoder() override;

    bool decode(CodecBuffers& io, bool inputEnded) override;

  private:
    LzmaDecoder() = default;

    lzma_stream stream_ = LZMA_STREAM_INIT;
    // An .xz decoder takes concatenated streams itself and ends only when told the input has.
    bool container_ = false;
};

} // namespace vexa::codec
