#include "engines/codec/LzmaEncoder.h"

#include "engines/codec/LzmaAllocator.h"
#include "engines/codec/LzmaStep.h"
#include "engines/codec/PullStream.h"

#include <new>

namespace vexa::codec {

namespace {

lzma_options_lzma optionsOf(const Lzma2Settings& settings) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, settings.preset))
        throw UnsupportedSettings("liblzma has no such preset");
    if (settings.dictionarySize != 0)
        options.dict_size = settings.dictionarySize;
    if (settings.searchDepth != 0)
        options.depth = settings.searchDepth;
    return options;
}

struct Chain {
    explicit Chain(lzma_options_lzma& options)
        : filters{{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}} {}
    lzma_filter filters[2];
};

} // namespace

std::uint32_t LzmaEncoder::presetDictionary(std::uint32_t preset) {
    return optionsOf({preset, 0, 0}).dict_size;
}

std::uint64_t LzmaEncoder::memoryUsage(const Lzma2Settings& settings) {
    lzma_options_lzma options = optionsOf(settings);
    const std::uint64_t bytes = lzma_raw_encoder_memusage(Chain(options).filters);
    if (bytes == UINT64_MAX)
        throw UnsupportedSettings("liblzma refuses the settings");
    return bytes;
}

std::vector<std::uint8_t> LzmaEncoder::properties(const Lzma2Settings& settings) {
    lzma_options_lzma options = optionsOf(settings);
    const lzma_filter& filter = Chain(options).filters[0];
    std::uint32_t size = 0;
    if (lzma_properties_size(&size, &filter) != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the settings");
    std::vector<std::uint8_t> bytes(size);
    if (lzma_properties_encode(&filter, bytes.data()) != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the settings");
    return bytes;
}

LzmaEncoder::LzmaEncoder() {
    stream_.allocator = lzmaAllocator();
}

LzmaEncoder::~LzmaEncoder() {
    lzma_end(&stream_);
}

void LzmaEncoder::start(const Lzma2Settings& settings, std::span<const std::uint8_t> history) {
    lzma_options_lzma options = optionsOf(settings);
    options.preset_dict = history.empty() ? nullptr : history.data();
    options.preset_dict_size = static_cast<std::uint32_t>(history.size());
    const lzma_ret status = lzma_raw_encoder(&stream_, Chain(options).filters);
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the settings");
}

bool LzmaEncoder::encode(CodecBuffers& io, bool end) {
    return lzmaStep(stream_, io, end, [] { throw EncodingError("liblzma fails to encode"); });
}

} // namespace vexa::codec
