#pragma once

#include <cstddef>
#include <cstdint>
#include <lzma.h>
#include <span>
#include <vector>

namespace vexa::codec {

// The filters liblzma runs in a raw chain.
enum class LzmaFilterKind { lzma, lzma2, x86, powerPc, ia64, arm, armThumb, sparc, arm64, delta };

// A raw filter chain for liblzma's decoder (as 7z stores one), each filter set up from the
// properties a container keeps for it. Refused properties, or too many filters, throw
// UnsupportedSettings.
class LzmaFilterChain {
  public:
    struct Filter {
        LzmaFilterKind kind;
        std::span<const std::uint8_t> properties;
    };

    // `filters` from the one nearest the decoded output down to the LZMA or LZMA2 coder. A
    // dictionary larger than `decodedSize` is never filled: it is cut to that size, so that
    // small folders of a large-dictionary archive stay cheap to decode side by side.
    LzmaFilterChain(const std::vector<Filter>& filters, std::uint64_t decodedSize);
    ~LzmaFilterChain();
    LzmaFilterChain(const LzmaFilterChain&) = delete;
    LzmaFilterChain& operator=(const LzmaFilterChain&) = delete;

    // What a decoder of the chain holds, dictionary included; 0 when liblzma cannot tell.
    std::uint64_t decoderMemory() const;

  private:
    friend class LzmaDecoder;

    void release();

    lzma_filter filters_[LZMA_FILTERS_MAX + 1];
    std::size_t count_ = 0;
};

} // namespace vexa::codec
