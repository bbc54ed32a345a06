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

TEST(LzmaEncoder, MakesRawChainsThatXzDecodesAndRestartsForEachStream) {
    ASSERT_TRUE(testing::commandExists("xz")) << "missing tool: xz";
    const std::string plain =
        sampleBytes(800 * 1024, 31, true) + sampleBytes(100 * 1024, 32, false);
    struct Case {
        std::uint32_t preset;
        std::uint32_t dictionary;
        bool x86;
        const char* xzFilters;
    };
    const Case cases[] = {
        {1, 1 << 20, false, "--lzma2=preset=1,dict=1MiB"},
        {6, 1 << 22, true, "--x86 --lzma2=preset=6,dict=4MiB"},
    };
    // One encoder for all: each start is a new stream.
    LzmaEncoder encoder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xzFilters);
        lzma_options_lzma options = LzmaEncoder::preset(c.preset);
        options.dict_size = c.dictionary;
        const lzma_filter plainChain[] = {{LZMA_FILTER_LZMA2, &options},
                                          {LZMA_VLI_UNKNOWN, nullptr}};
        const lzma_filter x86Chain[] = {
            {LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
        encoder.start(c.x86 ? x86Chain : plainChain);
        EXPECT_GT(LzmaEncoder::memoryUsage(c.x86 ? x86Chain : plainChain), c.dictionary);
        const std::string packed = encode(encoder, plain, 100 * 1024, 3000);
        TemporaryDirectory folder;
        writeFile(folder / "packed", packed);
        EXPECT_EQ(runChecked(std::string("xz --format=raw ") + c.xzFilters + " -dc < packed",
                             folder.path()),
                  plain);
        // LZMA2's one property byte: the dictionary size, 2^(n/2+12) and its half steps.
        const std::vector<std::uint8_t> properties =
            LzmaEncoder::properties({LZMA_FILTER_LZMA2, &options});
        ASSERT_EQ(properties.size(), 1u);
        EXPECT_EQ(properties[0], c.dictionary == 1 << 20 ? 16 : 20);
    }
    EXPECT_THROW(LzmaEncoder::preset(77), UnsupportedSettings);
    const lzma_filter unknown[] = {{0x7777, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    EXPECT_THROW(encoder.start(unknown), UnsupportedSettings);
}

} // namespace
} // namespace vexa::codec
