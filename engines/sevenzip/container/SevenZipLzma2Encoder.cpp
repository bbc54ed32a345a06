#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include "core/archive/ArchiveFailure.h"

#include <algorithm>
#include <lzma.h>
#include <new>

namespace vexa {

namespace {

// The dictionary is capped so that one encoder per core stays within the memory the whole
// creation may use (a bt4 encoder takes about 12 times its dictionary); the top levels trade
// threads for a larger one. Segments are a few dictionaries long, so the resets between them
// cost well under 1 %.
constexpr std::uint32_t maximumDictionary = 256u << 10;
constexpr std::uint32_t maximumTopDictionary = 1u << 20;
constexpr int firstTopLevel = 7;
constexpr std::size_t dictionariesPerSegment = 2;

lzma_options_lzma optionsFor(int level) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, static_cast<std::uint32_t>(std::clamp(level, 1, 9))))
        throw ArchiveFailure::unsupported7z();
    options.dict_size = std::min(options.dict_size,
                                 level >= firstTopLevel ? maximumTopDictionary : maximumDictionary);
    return options;
}

} // namespace

struct SevenZipLzma2Encoder::State {
    explicit State(int level) : options(optionsFor(level)) {}
    ~State() { ::lzma_end(&stream); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    lzma_options_lzma options;
    lzma_stream stream = LZMA_STREAM_INIT;
    // Room for the worst case, touched once per thread; results are copied out at their size.
    std::vector<std::uint8_t> scratch;
};

SevenZipLzma2Encoder::SevenZipLzma2Encoder(int level) : state_(std::make_unique<State>(level)) {}

SevenZipLzma2Encoder::~SevenZipLzma2Encoder() = default;

void SevenZipLzma2Encoder::compressSegment(const std::uint8_t* data, std::size_t size,
                                           std::vector<std::uint8_t>& output) {
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &state_->options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream& stream = state_->stream;
    // A new initialisation reuses the allocation of the last one with the same options.
    lzma_ret status = ::lzma_raw_encoder(&stream, filters);
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw ArchiveFailure::sevenZipFailure("no se pudo preparar la compresión LZMA2.");
    // Incompressible data grows by a few bytes per 64 KiB chunk.
    std::vector<std::uint8_t>& scratch = state_->scratch;
    scratch.resize(std::max(scratch.size(), size + size / 512 + 64));
    stream.next_in = data;
    stream.avail_in = size;
    stream.next_out = scratch.data();
    stream.avail_out = scratch.size();
    while (true) {
        status = ::lzma_code(&stream, LZMA_FINISH);
        if (status == LZMA_STREAM_END)
            break;
        if (status == LZMA_MEM_ERROR)
            throw std::bad_alloc();
        if (status != LZMA_OK)
            throw ArchiveFailure::sevenZipFailure("no se pudo comprimir con LZMA2.");
        if (stream.avail_out == 0) {
            const std::size_t used = scratch.size();
            scratch.resize(used + 65536);
            stream.next_out = scratch.data() + used;
            stream.avail_out = 65536;
        }
    }
    // The encoder ends every stream with the end marker; the joined stream gets one at its end.
    const std::size_t produced = scratch.size() - stream.avail_out;
    if (produced > 1)
        output.insert(output.end(), scratch.begin(),
                      scratch.begin() + static_cast<std::ptrdiff_t>(produced - 1));
}

std::vector<std::uint8_t> SevenZipLzma2Encoder::properties() const {
    lzma_filter filter{LZMA_FILTER_LZMA2, &state_->options};
    std::uint32_t size = 0;
    if (::lzma_properties_size(&size, &filter) != LZMA_OK || size != 1)
        throw ArchiveFailure::sevenZipFailure("no se pudo preparar la compresión LZMA2.");
    std::vector<std::uint8_t> bytes(1);
    if (::lzma_properties_encode(&filter, bytes.data()) != LZMA_OK)
        throw ArchiveFailure::sevenZipFailure("no se pudo preparar la compresión LZMA2.");
    return bytes;
}

std::uint64_t SevenZipLzma2Encoder::memoryUsage(int level) {
    lzma_options_lzma options = optionsFor(level);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    return ::lzma_raw_encoder_memusage(filters);
}

std::size_t SevenZipLzma2Encoder::segmentSize(int level) {
    return dictionariesPerSegment * optionsFor(level).dict_size;
}

} // namespace vexa
