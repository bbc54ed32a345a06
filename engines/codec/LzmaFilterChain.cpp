#include "engines/codec/LzmaFilterChain.h"

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstdlib>

namespace vexa::codec {

namespace {

lzma_vli filterId(LzmaFilterKind kind) {
    switch (kind) {
    case LzmaFilterKind::lzma:
        return LZMA_FILTER_LZMA1;
    case LzmaFilterKind::lzma2:
        return LZMA_FILTER_LZMA2;
    case LzmaFilterKind::x86:
        return LZMA_FILTER_X86;
    case LzmaFilterKind::powerPc:
        return LZMA_FILTER_POWERPC;
    case LzmaFilterKind::ia64:
        return LZMA_FILTER_IA64;
    case LzmaFilterKind::arm:
        return LZMA_FILTER_ARM;
    case LzmaFilterKind::armThumb:
        return LZMA_FILTER_ARMTHUMB;
    case LzmaFilterKind::sparc:
        return LZMA_FILTER_SPARC;
    case LzmaFilterKind::arm64:
        return LZMA_FILTER_ARM64;
    case LzmaFilterKind::delta:
        return LZMA_FILTER_DELTA;
    }
    return LZMA_VLI_UNKNOWN;
}

} // namespace

LzmaFilterChain::LzmaFilterChain(const std::vector<Filter>& filters, std::uint64_t decodedSize) {
    filters_[0] = {LZMA_VLI_UNKNOWN, nullptr};
    if (filters.size() > LZMA_FILTERS_MAX)
        throw UnsupportedSettings("too many filters for liblzma");
    for (const Filter& step : filters) {
        lzma_filter& filter = filters_[count_];
        filter.id = filterId(step.kind);
        filter.options = nullptr;
        ++count_;
        filters_[count_] = {LZMA_VLI_UNKNOWN, nullptr};
        // Options come from malloc: no allocator is given.
        if (lzma_properties_decode(&filter, nullptr, step.properties.data(),
                                   step.properties.size()) != LZMA_OK) {
            release();
            throw UnsupportedSettings("liblzma refuses the filter's properties");
        }
        if (filter.id == LZMA_FILTER_LZMA1 || filter.id == LZMA_FILTER_LZMA2) {
            auto* options = static_cast<lzma_options_lzma*>(filter.options);
            const std::uint64_t needed = std::max<std::uint64_t>(decodedSize, LZMA_DICT_SIZE_MIN);
            if (options->dict_size > needed)
                options->dict_size = static_cast<std::uint32_t>(needed);
        }
    }
}

LzmaFilterChain::~LzmaFilterChain() {
    release();
}

void LzmaFilterChain::release() {
    for (std::size_t i = 0; i < count_; ++i)
        std::free(filters_[i].options);
    count_ = 0;
}

std::uint64_t LzmaFilterChain::decoderMemory() const {
    const std::uint64_t memory = lzma_raw_decoder_memusage(filters_);
    return memory == UINT64_MAX ? 0 : memory;
}

} // namespace vexa::codec
