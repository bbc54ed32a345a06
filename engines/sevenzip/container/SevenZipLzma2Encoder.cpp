#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/codec/LzmaEncoder.h"
#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace vexa {

namespace {

// Each level keeps its usual dictionary (liblzma's presets, which bsdtar uses too). A segment is
// several dictionaries long and starts from the half dictionary before it in its folder, so
// that the cut costs little beside what one encoder over the whole folder would find.
constexpr std::size_t dictionariesPerSegment = 3;
// The middle levels search their binary tree this deep instead of liblzma's 24 to 48 places:
// about a third less work for archives about 1 % larger. The highest levels search in full.
constexpr int quickSearchLevels = 6;
constexpr std::uint32_t quickSearchDepth = 8;

codec::Lzma2Settings settingsFor(int level, std::uint64_t largestInput = UINT64_MAX) {
    codec::Lzma2Settings settings;
    settings.preset = static_cast<std::uint32_t>(std::clamp(level, 1, 9));
    std::uint32_t dictionary = 0;
    try {
        dictionary = codec::LzmaEncoder::presetDictionary(settings.preset);
    } catch (const codec::UnsupportedSettings&) {
        throw ArchiveFailure::unsupported7z();
    }
    // A power of two keeps the match finder's hash table at its smallest for the dictionary.
    std::uint32_t fitting = 4096;
    while (fitting < dictionary && fitting < largestInput)
        fitting *= 2;
    settings.dictionarySize = std::min(dictionary, fitting);
    if (level <= quickSearchLevels)
        settings.searchDepth = quickSearchDepth;
    return settings;
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

constexpr unsigned repeatHashBits = 20;
constexpr std::size_t repeatStep = repeatLength / 2;
using RepeatTable = std::vector<std::uint32_t>;

// A block is judged in pieces of this size, so a random file inside it is stored while the
// text around it is compressed.
constexpr std::size_t judgedPiece = 1u << 20;

// Which pieces of `data` to store: those whose byte frequencies are even and that repeat less
// than 1/64 of themselves from anywhere before them in the block. Every repeatStep-th position
// is noted in a hash table of 8-byte keys and the random-looking pieces probe every position,
// so any repeat of repeatLength bytes is found, however far back. `table` is the caller's,
// reused from block to block.
std::vector<bool> storedPieces(const std::uint8_t* data, std::size_t size, RepeatTable& table) {
    std::vector<bool> stored;
    for (std::size_t at = 0; at < size; at += judgedPiece) {
        const std::size_t length = std::min(judgedPiece, size - at);
        stored.push_back(length >= 4 * repeatLength &&
                         byteEntropy(data + at, length) >= incompressibleEntropy);
    }
    if (std::find(stored.begin(), stored.end(), true) == stored.end() || size < 2 * repeatLength)
        return stored;
    table.assign(std::size_t{1} << repeatHashBits, UINT32_MAX);
    const auto key = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, data + at, sizeof word);
        return static_cast<std::size_t>((word * 0x9E3779B97F4A7C15ull) >> (64 - repeatHashBits));
    };
    const std::size_t last = size - repeatLength;
    for (std::size_t piece = 0; piece < stored.size(); ++piece) {
        const std::size_t start = piece * judgedPiece;
        const std::size_t end = std::min(last + 1, start + judgedPiece);
        if (!stored[piece]) {
            for (std::size_t at = start; at < end; at += repeatStep)
                table[key(at)] = static_cast<std::uint32_t>(at);
            continue;
        }
        std::size_t covered = 0;
        std::size_t coveredUntil = start;
        for (std::size_t at = start; at < end; ++at) {
            const std::size_t slot = key(at);
            if (at >= coveredUntil) {
                const std::uint32_t earlier = table[slot];
                if (earlier != UINT32_MAX &&
                    std::memcmp(data + earlier, data + at, repeatLength) == 0) {
                    covered += repeatLength;
                    coveredUntil = at + repeatLength;
                }
            }
            if (at % repeatStep == 0)
                table[slot] = static_cast<std::uint32_t>(at);
        }
        stored[piece] = covered < std::min(judgedPiece, size - start) / 64;
    }
    return stored;
}

// Uncompressed LZMA2 chunks; the first resets the dictionary at a folder's start.
void appendStored(const std::uint8_t* data, std::size_t size, bool resetsDictionary,
                  platform::SystemBytes& output) {
    constexpr std::size_t chunk = 65536;
    output.reserve(output.size() + size + 3 * (size / chunk + 1));
    for (std::size_t done = 0; done < size; done += chunk) {
        const std::size_t length = std::min(chunk, size - done);
        output.push_back(done == 0 && resetsDictionary ? 0x01 : 0x02);
        output.push_back(static_cast<std::uint8_t>((length - 1) >> 8));
        output.push_back(static_cast<std::uint8_t>((length - 1) & 0xFF));
        output.insert(output.end(), data + done, data + done + length);
    }
}

} // namespace

struct SevenZipLzma2Encoder::State {
    State(int level, std::uint64_t largestInput) : settings(settingsFor(level, largestInput)) {}

    codec::Lzma2Settings settings;
    codec::LzmaEncoder encoder;
    RepeatTable repeats;
    // The segment's whole input when its finished pages are given back, and how far they are.
    platform::SystemBytes* input = nullptr;
    std::size_t dropped = 0;
};

SevenZipLzma2Encoder::SevenZipLzma2Encoder(int level, std::uint64_t largestInput)
    : state_(std::make_unique<State>(level, largestInput)) {}

SevenZipLzma2Encoder::~SevenZipLzma2Encoder() = default;

void SevenZipLzma2Encoder::compressSegment(const std::uint8_t* data, std::size_t size,
                                           std::size_t history, platform::SystemBytes& output,
                                           platform::SystemBytes* finishedInput) {
    state_->input = finishedInput;
    state_->dropped = 0;
    // LZMA2 chunks hold at most a few bytes more than their data, so the output never moves.
    output.reserve(output.size() + size + size / 64 + 4096);
    // Runs of pieces alike are stored or compressed together. Only a folder's first chunk
    // resets the dictionary: the decoder keeps every byte before, stored ones too, so each
    // compressed run starts from the bytes before it as the encoder's preset dictionary.
    const std::vector<bool> stored = storedPieces(data, size, state_->repeats);
    for (std::size_t first = 0; first < stored.size();) {
        std::size_t last = first + 1;
        while (last < stored.size() && stored[last] == stored[first])
            ++last;
        const std::size_t start = first * judgedPiece;
        const std::size_t length = std::min(size, last * judgedPiece) - start;
        if (stored[first]) {
            for (std::size_t piece = start; piece < start + length; piece += judgedPiece) {
                const std::size_t part = std::min(judgedPiece, start + length - piece);
                appendStored(data + piece, part, history + piece == 0, output);
                finishedBefore(data + piece + part);
            }
        } else {
            compressRun(data + start, length, history + start, output);
            finishedBefore(data + start + length);
        }
        first = last;
    }
    state_->input = nullptr;
}

void SevenZipLzma2Encoder::finishedBefore(const std::uint8_t* position) {
    if (state_->input == nullptr)
        return;
    // A later run starts from at most the half dictionary before it.
    const std::size_t kept = state_->settings.dictionarySize / 2 + 16;
    const auto done = static_cast<std::size_t>(position - state_->input->data());
    if (done <= state_->dropped + kept)
        return;
    platform::dropPages(state_->input->data() + state_->dropped, done - kept - state_->dropped);
    state_->dropped = done - kept;
}

void SevenZipLzma2Encoder::compressRun(const std::uint8_t* data, std::size_t size,
                                       std::size_t history, platform::SystemBytes& output) {
    // Runs start at multiples of 16 bytes into their folder, and so does the preset: the
    // encoder's and the decoder's positions then agree in the low bits the coder's states use.
    const std::size_t preset =
        std::min<std::size_t>(history, state_->settings.dictionarySize / 2) / 16 * 16;
    // A new start reuses the allocation of the last one with the same settings.
    try {
        state_->encoder.start(state_->settings, {data - preset, preset});
    } catch (const codec::UnsupportedSettings&) {
        throw ArchiveFailure::sevenZipFailure("no se pudo preparar la compresión LZMA2.");
    }
    // The output grows as it is produced, so only what the result needs is ever touched, and
    // the input goes in a piece at a time, so the encoder's finished input can be given back.
    constexpr std::size_t step = 1u << 20;
    const std::size_t first = output.size();
    output.resize(first + std::min(step, size + 64));
    std::size_t given = std::min(step, size);
    codec::CodecBuffers io{data, given, output.data() + first, output.size() - first};
    while (true) {
        bool ended = false;
        try {
            ended = state_->encoder.encode(io, given == size);
        } catch (const codec::EncodingError&) {
            throw ArchiveFailure::sevenZipFailure("no se pudo comprimir con LZMA2.");
        }
        if (ended)
            break;
        finishedBefore(io.in);
        if (io.inSize == 0 && given < size) {
            io.inSize = std::min(step, size - given);
            given += io.inSize;
        }
        if (io.outSize == 0) {
            const std::size_t used = output.size();
            output.resize(used + step);
            io.out = output.data() + used;
            io.outSize = step;
        }
    }
    // The encoder ends every stream with the end marker; the joined stream gets one at its end.
    const std::size_t produced = output.size() - io.outSize - first;
    output.resize(first + (produced > 0 ? produced - 1 : 0));
}

std::vector<std::uint8_t> SevenZipLzma2Encoder::properties() const {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = codec::LzmaEncoder::properties(state_->settings);
    } catch (const codec::UnsupportedSettings&) {
    }
    if (bytes.size() != 1)
        throw ArchiveFailure::sevenZipFailure("no se pudo preparar la compresión LZMA2.");
    return bytes;
}

std::uint64_t SevenZipLzma2Encoder::memoryUsage(int level) {
    try {
        return codec::LzmaEncoder::memoryUsage(settingsFor(level));
    } catch (const codec::UnsupportedSettings&) {
        throw ArchiveFailure::unsupported7z();
    }
}

std::size_t SevenZipLzma2Encoder::segmentSize(int level) {
    return dictionariesPerSegment * settingsFor(level).dictionarySize;
}

std::size_t SevenZipLzma2Encoder::historySize(int level) {
    return settingsFor(level).dictionarySize / 2;
}

} // namespace vexa
