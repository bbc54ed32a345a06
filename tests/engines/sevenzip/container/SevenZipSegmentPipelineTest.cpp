#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"

#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include <gtest/gtest.h>
#include <string>

namespace vexa {
namespace {

constexpr std::uint64_t mebibyte = 1u << 20;

// With the data's size known, segments take whole rounds of every encoder: never more rounds
// than the level's own segments would take, never longer than those, never shorter than a
// dictionary, in whole mebibytes. Level 0 copies in segments of its own.
TEST(SevenZipSegmentPipeline, SegmentsEvenOutOverTheEncoders) {
    Progress progress;
    for (int level : {1, 5}) {
        const std::uint64_t own = SevenZipLzma2Encoder::segmentSize(level);
        const std::uint64_t dictionary = 2 * SevenZipLzma2Encoder::historySize(level);
        for (std::uint64_t expected :
             {std::uint64_t{1000}, 5 * mebibyte, 37 * mebibyte + 5, 211 * mebibyte, own * 9}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(expected));
            SevenZipSegmentPipeline pipeline(level, progress, expected);
            const std::uint64_t segment = pipeline.segmentSize();
            const std::uint64_t threads = pipeline.maxPending();
            EXPECT_LE(segment, own);
            EXPECT_GE(segment, dictionary);
            EXPECT_EQ(segment % std::min(mebibyte, dictionary), 0u);
            const auto rounds = [&](std::uint64_t size) {
                return ((expected + size - 1) / size + threads - 1) / threads;
            };
            EXPECT_LE(rounds(segment), rounds(own));
        }
        SevenZipSegmentPipeline unknown(level, progress);
        EXPECT_EQ(unknown.segmentSize(), own);
    }
    EXPECT_EQ(SevenZipSegmentPipeline(0, progress, 211 * mebibyte).segmentSize(), mebibyte);
}

} // namespace
} // namespace vexa
