#include "engines/sevenzip/container/SevenZipArchive.h"
#include "engines/sevenzip/container/SevenZipHeaderParser.h"

#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <vector>
#include <zlib.h>

namespace vexa::sevenzip {
namespace {

constexpr std::uint64_t int64Max = std::numeric_limits<std::int64_t>::max();

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value,
                     std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A start header as the format describes it, its CRC-32 from zlib.
std::vector<std::uint8_t> startHeaderBytes(std::uint64_t offset, std::uint64_t size,
                                           std::uint32_t headerCrc) {
    std::vector<std::uint8_t> bytes{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    bytes.resize(32);
    putLittleEndian(bytes, 12, offset, 8);
    putLittleEndian(bytes, 20, size, 8);
    putLittleEndian(bytes, 28, headerCrc, 4);
    putLittleEndian(bytes, 8, ::crc32(0, bytes.data() + 12, 20), 4);
    return bytes;
}

class MemoryInput : public SevenZipInput {
  public:
    explicit MemoryInput(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void readAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        std::memcpy(buffer, bytes_.data() + offset, size);
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

TEST(SevenZipStartHeader, FieldsAndTheSpannedSizeComeFromTheOneParse) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool parses;
        std::optional<std::uint64_t> spanned;
    };
    auto badCrc = startHeaderBytes(100, 20, 7);
    badCrc[20] ^= 1;
    auto badSignature = startHeaderBytes(100, 20, 7);
    badSignature[0] = '8';
    auto laterVersion = startHeaderBytes(100, 20, 7);
    laterVersion[6] = 1;
    auto cutShort = startHeaderBytes(1, 1, 0);
    cutShort.pop_back();
    const Case cases[] = {
        {"plain", startHeaderBytes(100, 20, 0xDEADBEEF), true, 152},
        {"empty archive", startHeaderBytes(0, 0, 0), true, 32},
        {"largest offset", startHeaderBytes(int64Max - 32, 0, 0), true, int64Max},
        {"past a file offset", startHeaderBytes(int64Max - 31, 0, 0), true, std::nullopt},
        {"sum wraps", startHeaderBytes(int64Max, int64Max, 0), true, std::nullopt},
        {"huge offset", startHeaderBytes(~0ull, 1, 0), true, std::nullopt},
        {"damaged", badCrc, false, std::nullopt},
        {"no signature", badSignature, false, std::nullopt},
        {"later major version", laterVersion, false, std::nullopt},
        {"cut short", cutShort, false, std::nullopt},
    };
    for (const Case& row : cases) {
        const auto parsed = parseStartHeader(row.bytes.data(), row.bytes.size());
        EXPECT_EQ(parsed.has_value(), row.parses) << row.what;
        const auto fromInput = SevenZipArchive::readStartHeader(MemoryInput(row.bytes));
        EXPECT_EQ(fromInput, parsed) << row.what;
        if (!parsed)
            continue;
        EXPECT_EQ(parsed->archiveSize(), row.spanned) << row.what;
    }
    const auto plain = parseStartHeader(cases[0].bytes.data(), 32);
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, (StartHeader{100, 20, 0xDEADBEEF}));
}

} // namespace
} // namespace vexa::sevenzip
