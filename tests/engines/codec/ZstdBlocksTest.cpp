#include "engines/codec/ZstdBlocks.h"

#include "engines/codec/PullStream.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <vector>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

// Decodes every frame of `packed` block by block into one buffer holding the whole output.
std::string decodeFrames(const std::string& packed) {
    ZstdBlockDecoder decoder;
    std::string out;
    std::size_t at = 0;
    while (at < packed.size()) {
        ZstdBlockDecoder::FrameHeader header;
        const std::size_t wanted =
            ZstdBlockDecoder::readFrameHeader(packed.data() + at, packed.size() - at, header);
        if (wanted != 0)
            throw DataError("truncated frame header");
        if (header.skippable) {
            at += header.skippedSize;
            continue;
        }
        EXPECT_LE(header.window, ZstdBlockDecoder::windowLimit());
        EXPECT_LE(header.blockSizeMax, ZstdBlockDecoder::maximumBlock);
        std::vector<char> frame(ZstdBlockDecoder::bufferSize(header.window) + (8u << 20));
        std::size_t written = 0;
        decoder.beginFrame();
        while (const std::size_t size = decoder.nextInputSize()) {
            if (at + size > packed.size())
                throw DataError("truncated frame");
            written += decoder.step(frame.data() + written, frame.size() - written,
                                    packed.data() + at, size);
            at += size;
        }
        out.append(frame.data(), written);
    }
    return out;
}

TEST(ZstdBlockDecoder, DecodesFramesAndSkipsSkippableOnesAsTheZstdToolWritesThem) {
    ASSERT_TRUE(testing::commandExists("zstd")) << "missing tool: zstd";
    const std::string first = sampleBytes(2 * 1024 * 1024, 41, true);
    const std::string second = sampleBytes(300 * 1024, 42, false);
    TemporaryDirectory folder;
    writeFile(folder / "first", first);
    writeFile(folder / "second", second);
    runChecked("zstd -q -c -5 < first > packed && zstd -q -c -1 < second >> packed", folder.path());
    // A skippable frame of 6 bytes leads: magic 0x184D2A53, then its length.
    const std::string skippable("\x53\x2A\x4D\x18\x06\0\0\0skip!!", 14);
    const std::string packed = skippable + readFile(folder / "packed");
    EXPECT_EQ(decodeFrames(packed), first + second);

    std::string corrupt = packed;
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt[corrupt.size() / 2 + 1] ^= 0x55;
    EXPECT_THROW(decodeFrames(corrupt), DataError);
    EXPECT_THROW(decodeFrames(packed.substr(0, packed.size() - 3)), DataError);
}

} // namespace
} // namespace vexa::codec
