#include "engines/codec/DecodingStream.h"
#include "engines/codec/Lzma.h"
#include "tests/engines/codec/PulledBytes.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

// One block as `xz --robot -lvv` lists it.
struct Listed {
    std::size_t offset, uncompressedOffset, totalSize, uncompressedSize, headerSize, compressed;
};

std::vector<Listed> listBlocks(const std::string& listing) {
    std::vector<Listed> blocks;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("block\t", 0) != 0)
            continue;
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; std::getline(words, word, '\t');)
            fields.push_back(word);
        blocks.push_back({std::stoul(fields[4]), std::stoul(fields[5]), std::stoul(fields[6]),
                          std::stoul(fields[7]), std::stoul(fields[11]), std::stoul(fields[13])});
    }
    return blocks;
}

TEST(XzBlockHeader, EachBlockOfWhatXzWritesDecodesByItselfAndAWrongSizeIsRefused) {
    ASSERT_TRUE(testing::commandExists("xz")) << "missing tool: xz";
    const std::string plain = sampleBytes(700 * 1024, 21, true);
    TemporaryDirectory folder;
    writeFile(folder / "plain", plain);
    runChecked("xz -6 -T2 --block-size=200KiB -C crc64 -c < plain > packed.xz", folder.path());
    const std::string packed = readFile(folder / "packed.xz");
    const std::vector<Listed> blocks =
        listBlocks(runChecked("xz --robot -lvv packed.xz", folder.path()));
    ASSERT_EQ(blocks.size(), 4u);
    for (const Listed& block : blocks) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(packed.data()) + block.offset;
        ASSERT_EQ(XzBlockHeader::sizeFrom(bytes[0]), block.headerSize);
        const std::uint64_t unpadded = block.headerSize + block.compressed + 8;
        XzBlockHeader header(bytes, LZMA_CHECK_CRC64, unpadded, block.uncompressedSize);
        EXPECT_EQ(header.size(), block.headerSize);
        EXPECT_GT(header.decoderMemory(), 8u << 20);
        DecodingStream stream(
            std::make_unique<BytesStream>(
                packed.substr(block.offset + block.headerSize, block.totalSize - block.headerSize),
                1000),
            std::make_unique<LzmaDecoder>(LzmaDecoder::xzBlock(header)));
        EXPECT_EQ(readAll(stream, 4096),
                  plain.substr(block.uncompressedOffset, block.uncompressedSize));

        // The header records the sizes: one the index disagrees with is damage.
        EXPECT_THROW(XzBlockHeader(bytes, LZMA_CHECK_CRC64, unpadded, block.uncompressedSize + 1),
                     DataError);
    }
    EXPECT_EQ(XzBlockHeader::sizeFrom(0), 0u);
}

ReadAt readerOf(const std::string& bytes) {
    return [&bytes](std::uint8_t* out, std::size_t size, std::uint64_t offset) {
        const std::size_t count = offset < bytes.size() ? std::min(size, bytes.size() - offset) : 0;
        std::copy_n(bytes.data() + offset, count, out);
        return count;
    };
}

TEST(XzIndex, GivesTheBlocksXzListsAcrossConcatenatedStreamsAndNoneForOtherData) {
    ASSERT_TRUE(testing::commandExists("xz")) << "missing tool: xz";
    TemporaryDirectory folder;
    writeFile(folder / "plain", sampleBytes(500 * 1024, 22, true));
    runChecked("xz -6 -T2 --block-size=150KiB -c < plain > one.xz && cat one.xz one.xz > two.xz",
               folder.path());
    const std::string packed = readFile(folder / "two.xz");
    const std::vector<Listed> listed =
        listBlocks(runChecked("xz --robot -lvv two.xz", folder.path()));
    const auto blocks = readXzIndex(packed.size(), readerOf(packed));
    ASSERT_TRUE(blocks.has_value());
    ASSERT_EQ(blocks->size(), listed.size());
    ASSERT_EQ(listed.size(), 8u);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        SCOPED_TRACE(i);
        const XzIndexedBlock& block = (*blocks)[i];
        EXPECT_EQ(block.compressedOffset, listed[i].offset);
        EXPECT_EQ(block.uncompressedOffset, listed[i].uncompressedOffset);
        EXPECT_EQ(block.totalSize, listed[i].totalSize);
        EXPECT_EQ(block.uncompressedSize, listed[i].uncompressedSize);
        EXPECT_EQ(block.unpaddedSize, listed[i].headerSize + listed[i].compressed + 8);
        EXPECT_EQ(block.check, LZMA_CHECK_CRC64);
    }

    const std::string other = sampleBytes(4096, 23, true);
    EXPECT_FALSE(readXzIndex(other.size(), readerOf(other)).has_value());
    const std::string truncated = packed.substr(0, packed.size() - 7);
    EXPECT_FALSE(readXzIndex(truncated.size(), readerOf(truncated)).has_value());
    const ReadAt failing = [](std::uint8_t*, std::size_t, std::uint64_t) -> std::size_t {
        throw std::runtime_error("read fails");
    };
    EXPECT_FALSE(readXzIndex(packed.size(), failing).has_value());
}

} // namespace
} // namespace vexa::codec
