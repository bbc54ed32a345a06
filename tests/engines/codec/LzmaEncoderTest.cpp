#include "engines/codec/LzmaEncoder.h"

#include "engines/codec/PullStream.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

// Encodes `plain` in pieces of `piece` into outputs of `room` bytes, finishing at its end.
std::string encode(LzmaEncoder& encoder, const std::string& plain, std::size_t piece,
                   std::size_t room) {
    std::string packed;
    std::vector<std::uint8_t> out(room);
    CodecBuffers io{reinterpret_cast<const std::uint8_t*>(plain.data()), 0, nullptr, 0};
    std::size_t given = 0;
    for (;;) {
        const std::size_t more = std::min(piece, plain.size() - given);
        io.inSize += more;
        given += more;
        io.out = out.data();
        io.outSize = out.size();
        const bool ended = encoder.encode(io, given == plain.size());
        packed.append(reinterpret_cast<const char*>(out.data()), out.size() - io.outSize);
        if (ended)
            return packed;
    }
}

std::string xzRawDecode(const std::string& packed, const std::string& filters) {
    TemporaryDirectory folder;
    writeFile(folder / "packed", packed);
    return runChecked("xz --format=raw --lzma2=" + filters + " -dc < packed", folder.path());
}

// A stream on its own and one that goes on from the bytes before it: joined without the first
// one's end marker they are one LZMA2 stream, which xz decodes whole; the second finds the
// first's bytes as repeats. The settings reach the coder: its property byte carries the
// dictionary, and a shallow search packs text differently from the preset's own.
TEST(LzmaEncoder, MakesLzma2StreamsThatXzDecodesAndGoOnFromTheBytesBefore) {
    ASSERT_TRUE(testing::commandExists("xz")) << "missing tool: xz";
    const std::string first =
        sampleBytes(400 * 1024, 31, true) + sampleBytes(100 * 1024, 32, false);
    const std::string second = first.substr(400 * 1024) + sampleBytes(100 * 1024, 33, true);
    struct Case {
        Lzma2Settings settings;
        std::uint8_t property;
        const char* xzFilters;
    };
    const Case cases[] = {
        {{1, 1 << 20, 0}, 16, "preset=1,dict=1MiB"},
        {{5, 0, 8}, 22, "preset=5"},
        {{6, 1 << 22, 2}, 20, "preset=6,dict=4MiB"},
    };
    // One encoder for all: each start is a new stream.
    LzmaEncoder encoder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xzFilters);
        const std::uint32_t dictionary = c.settings.dictionarySize != 0
                                             ? c.settings.dictionarySize
                                             : LzmaEncoder::presetDictionary(c.settings.preset);
        EXPECT_GT(LzmaEncoder::memoryUsage(c.settings), dictionary);
        EXPECT_EQ(LzmaEncoder::properties(c.settings), std::vector<std::uint8_t>{c.property});
        encoder.start(c.settings);
        const std::string whole = encode(encoder, first, 100 * 1024, 3000);
        EXPECT_TRUE(xzRawDecode(whole, c.xzFilters) == first);
        ASSERT_EQ(whole.back(), '\0');
        const std::string packed = whole.substr(0, whole.size() - 1);
        const auto* history = reinterpret_cast<const std::uint8_t*>(first.data());
        encoder.start(c.settings, {history, first.size()});
        const std::string goingOn = encode(encoder, second, 64 * 1024, 5000);
        EXPECT_TRUE(xzRawDecode(packed + goingOn, c.xzFilters) == first + second);
        encoder.start(c.settings);
        EXPECT_GT(encode(encoder, second, second.size(), 1 << 20).size(), goingOn.size() + 80000);
        if (c.settings.searchDepth != 0) {
            Lzma2Settings own = c.settings;
            own.searchDepth = 0;
            encoder.start(own);
            EXPECT_TRUE(encode(encoder, first, first.size(), 1 << 20) != whole);
        }
    }
    EXPECT_EQ(LzmaEncoder::presetDictionary(5), 8u << 20);
    EXPECT_THROW(LzmaEncoder::presetDictionary(77), UnsupportedSettings);
    EXPECT_THROW(LzmaEncoder::memoryUsage({5, 100, 0}), UnsupportedSettings);
    EXPECT_THROW(encoder.start({5, 100, 0}), UnsupportedSettings);
}

} // namespace
} // namespace vexa::codec
