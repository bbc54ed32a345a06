#include "engines/codec/DecodingStream.h"
#include "engines/codec/Lzma.h"
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

class Bytes : public PullStream {
  public:
    explicit Bytes(std::string bytes) : bytes_(std::move(bytes)) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const std::size_t count = std::min({size, std::size_t{1000}, bytes_.size() - position_});
        std::copy_n(bytes_.data() + position_, count, out);
        position_ += count;
        return count;
    }

  private:
    std::string bytes_;
    std::size_t position_ = 0;
};

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
            std::make_unique<Bytes>(
                packed.substr(block.offset + block.headerSize, block.totalSize - block.headerSize)),
            std::make_unique<LzmaDecoder>(LzmaDecoder::xzBlock(header)));
        std::string out;
        std::vector<std::uint8_t> buffer(4096);
        while (const std::size_t count = stream.read(buffer.data(), buffer.size()))
            out.append(reinterpret_cast<const char*>(buffer.data()), count);
        EXPECT_EQ(out, plain.substr(block.uncompressedOffset, block.uncompressedSize));

        // The header records the sizes: one the index disagrees with is damage.
        EXPECT_THROW(XzBlockHeader(bytes, LZMA_CHECK_CRC64, unpadded, block.uncompressedSize + 1),
                     DataError);
    }
    EXPECT_EQ(XzBlockHeader::sizeFrom(0), 0u);
}

} // namespace
} // namespace vexa::codec
