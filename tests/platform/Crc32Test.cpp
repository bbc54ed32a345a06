#include "platform/Crc32.h"

#include "tests/support/TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>
#include <zlib.h>

namespace vexa::platform {
namespace {

std::uint32_t zlibCrc(const std::string& bytes, std::size_t from, std::size_t size) {
    return static_cast<std::uint32_t>(
        ::crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data() + from), size));
}

TEST(Crc32, AgreesWithZlibAtEveryLengthAndAlignmentAndWhenFedInPieces) {
    const std::string bytes = vexa::testing::sampleBytes(70000, 7, false);
    EXPECT_EQ(crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(crc32(0, "123456789", 9), 0xCBF43926u) << "the check value of CRC-32";
    for (std::size_t from : {0, 1, 3, 7, 8, 13})
        for (std::size_t size : {0, 1, 2, 15, 16, 17, 63, 64, 65, 255, 256, 1000, 4096, 65537})
            EXPECT_EQ(crc32(0, bytes.data() + from, size), zlibCrc(bytes, from, size))
                << from << "+" << size;
    // Chained over uneven pieces, as every streaming user feeds it.
    std::uint32_t chained = 0;
    for (std::size_t at = 0, step = 1; at < bytes.size(); at += step, step = step * 3 % 9973 + 1)
        chained = crc32(chained, bytes.data() + at, std::min(step, bytes.size() - at));
    EXPECT_EQ(chained, zlibCrc(bytes, 0, bytes.size()));
}

TEST(Crc32, CombiningTwoRunsGivesTheRunOfBoth) {
    const std::string bytes = vexa::testing::sampleBytes(100000, 9, true);
    for (std::size_t cut : {0, 1, 4096, 65536, 99999, 100000}) {
        const std::uint32_t first = crc32(0, bytes.data(), cut);
        const std::uint32_t second = crc32(0, bytes.data() + cut, bytes.size() - cut);
        EXPECT_EQ(crc32Combine(first, second, bytes.size() - cut), zlibCrc(bytes, 0, bytes.size()))
            << cut;
    }
}

TEST(Crc32, OneStepIsTheBitwiseDivisionOfOneByte) {
    for (const std::uint32_t start : {0u, 0x12345678u, 0xFFFFFFFFu})
        for (unsigned byte = 0; byte < 256; ++byte) {
            std::uint32_t expected = start ^ byte;
            for (int bit = 0; bit < 8; ++bit)
                expected = (expected >> 1) ^ (0xEDB88320u & (0u - (expected & 1u)));
            EXPECT_EQ(crc32Step(start, static_cast<std::uint8_t>(byte)), expected) << byte;
        }
}

TEST(Crc32, ThreadsComputingAtOnceGetTheirOwnResults) {
    const std::string bytes = vexa::testing::sampleBytes(1 << 20, 11, false);
    const std::uint32_t expected = zlibCrc(bytes, 0, bytes.size());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::uint32_t crc = 0;
                const std::size_t piece = 4096u * static_cast<std::size_t>(t + 1);
                for (std::size_t at = 0; at < bytes.size(); at += piece)
                    crc = crc32(crc, bytes.data() + at, std::min(piece, bytes.size() - at));
                if (crc != expected)
                    ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace vexa::platform
