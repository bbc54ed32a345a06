#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipLzmaAllocator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

lzma_options_lzma optionsFor(int level, std::uint64_t largestInput = UINT64_MAX) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, static_cast<std::uint32_t>(std::clamp(level, 1, 9))))
        throw ArchiveFailure::unsupported7z();
    options.dict_size = std::min(options.dict_size,
                                 level >= firstTopLevel ? maximumTopDictionary : maximumDictionary);
    // A power of two keeps the match finder's hash table at its smallest for the dictionary.
    std::uint32_t fitting = LZMA_DICT_SIZE_MIN;
    while (fitting < options.dict_size && fitting < largestInput)
        fitting *= 2;
    options.dict_size = std::min(options.dict_size, fitting);
    return options;
}

// Random-looking data: byte frequencies this even leave an entropy coder nothing to gain.
constexpr double incompressibleEntropy = 7.99;
// Repeats of at least this many bytes are what the match finder would still find in it.
constexpr std::size_t repeatLength = 32;

double byteEntropy(const std::uint8_t* data, std::size_t size) {
    std::uint64_t counts[256] = {};
    for (std::size_t i = 0; i < size; ++i)
        ++counts[data[i]];
    double entropy = 0;
    for (std::uint64_t count : counts)
        if (count > 0) {
            const double share = static_cast<double>(count) / static_cast<double>(size);
            entropy -= share * std::log2(share);
        }
    return entropy;
}

constexpr unsigned repeatHashBits = 16;
using RepeatTable = std::vector<std::uint32_t>;

// Bytes covered by repeats of repeatLength or more, found through a small hash table of
// 8-byte keys at every position, probed every repeatLength / 2 bytes. `table` is the caller's,
// reused from segment to segment.
std::size_t repeatedBytes(const std::uint8_t* data, std::size_t size, RepeatTable& table) {
    if (size < 2 * repeatLength)
        return 0;
    table.assign(std::size_t{1} << repeatHashBits, UINT32_MAX);
    const auto key = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, data + at, sizeof word);
        return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ull) >> (64 - repeatHashBits));
    };
    std::size_t covered = 0;
    std::size_t coveredUntil = 0;
    for (std::size_t at = 0; at + repeatLength <= size; ++at) {
        const std::size_t slot = key(at);
        if (at % (repeatLength / 2) == 0 && at >= coveredUntil) {
            const std::uint32_t earlier = table[slot];
            if (earlier != UINT32_MAX &&
                std::memcmp(data + earlier, data + at, repeatLength) == 0) {
                covered += repeatLength;
                coveredUntil = at + repeatLength;
            }
        }
        table[slot] = static_cast<std::uint32_t>(at);
    }
    return covered;
}

// Uncompressed LZMA2 chunks: the first resets the dictionary, as a fresh encoder's would.
void appendStored(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& output) {
    constexpr std::size_t chunk = 65536;
    output.reserve(output.size() + size + 3 * (size / chunk + 1));
    for (std::size_t done = 0; done < size; done += chunk) {
        const std::size_t length = std::min(chunk, size - done);
        output.push_back(done == 0 ? 0x01 : 0x02);
        output.push_back(static_cast<std::uint8_t>((length - 1) >> 8));
        output.push_back(static_cast<std::uint8_t>((length - 1) & 0xFF));
        output.insert(output.end(), data + done, data + done + length);
    }
}

// Whether `data` is stored rather than compressed. Short data costs little to try; repeats
// over 1/64 of it would be worth finding.
bool looksIncompressible(const std::uint8_t* data, std::size_t size, RepeatTable& table) {
    return size >= 4 * repeatLength && byteEntropy(data, size) >= incompressibleEntropy &&
           repeatedBytes(data, size, table) < size / 64;
}

} // namespace

struct SevenZipLzma2Encoder::State {
    State(int level, std::uint64_t largestInput) : options(optionsFor(level, largestInput)) {
        stream.allocator = sevenzip::lzmaAllocator();
    }
    ~State() { ::lzma_end(&stream); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    lzma_options_lzma options;
    lzma_stream stream = LZMA_STREAM_INIT;
    // Room for the worst case, touched once per thread; results are copied out at their size.
    std::vector<std::uint8_t> scratch;
    RepeatTable repeats;
};

SevenZipLzma2Encoder::SevenZipLzma2Encoder(int level, std::uint64_t largestInput)
    : state_(std::make_unique<State>(level, largestInput)) {}

SevenZipLzma2Encoder::~SevenZipLzma2Encoder() = default;

void SevenZipLzma2Encoder::compressSegment(const std::uint8_t* data, std::size_t size,
                                           std::vector<std::uint8_t>& output) {
    if (looksIncompressible(data, size, state_->repeats)) {
        appendStored(data, size, output);
        return;
    }
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
