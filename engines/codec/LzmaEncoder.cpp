#include "engines/codec/LzmaEncoder.h"

#include "engines/codec/LzmaStep.h"
#include "engines/codec/PullStream.h"

#include <new>

namespace vexa::codec {

lzma_options_lzma LzmaEncoder::preset(std::uint32_t level) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, level))
        throw UnsupportedSettings("liblzma has no such preset");
    return options;
}

std::uint64_t LzmaEncoder::memoryUsage(const lzma_filter* filters) {
    return lzma_raw_encoder_memusage(filters);
}

std::vector<std::uint8_t> LzmaEncoder::properties(const lzma_filter& filter) {
    std::uint32_t size = 0;
    if (lzma_properties_size(&size, &filter) != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the filter");
    std::vector<std::uint8_t> bytes(size);
    if (lzma_properties_encode(&filter, bytes.data()) != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the filter");
    return bytes;
}

LzmaEncoder::LzmaEncoder(const lzma_allocator* allocator) {
    stream_.allocator = allocator;
}

LzmaEncoder::~LzmaEncoder() {
    lzma_end(&stream_);
}

void LzmaEncoder::start(const lzma_filter* filters) {
    const lzma_ret status = lzma_raw_encoder(&stream_, filters);
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the filter chain");
}

bool LzmaEncoder::encode(CodecBuffers& io, bool end) {
    return lzmaStep(stream_, io, end, [] { throw EncodingError("liblzma fails to encode"); });
}

} // namespace vexa::codec
