#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vexa {
namespace {

using testing::sampleBytes;

// An encoder that gives back the input it is done with makes the same bytes as one that keeps
// it, across compressed and stored runs that start from the bytes before them; what it gave
// back is everything but the last half dictionary and the lag behind the end.
TEST(SevenZipLzma2Encoder, GivingBackFinishedInputChangesNoByte) {
    const int level = 1;
    const std::size_t history = SevenZipLzma2Encoder::historySize(level);
    const std::string text = sampleBytes(6 << 20, 41, true);
    const std::string noise = sampleBytes(2 << 20, 42, false);
    const std::string folder = text.substr(0, 3 << 20) + noise + text.substr(1 << 20);
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (const std::size_t start : {std::size_t{0}, std::size_t{2} << 20}) {
        SCOPED_TRACE(start);
        const std::size_t before = std::min(start, history);
        platform::SystemBytes input(folder.begin() + static_cast<long>(start - before),
                                    folder.end());
        platform::SystemBytes kept;
        SevenZipLzma2Encoder(level).compressSegment(input.data() + before, input.size() - before,
                                                    before, kept);
        platform::SystemBytes givenBack;
        SevenZipLzma2Encoder(level).compressSegment(input.data() + before, input.size() - before,
                                                    before, givenBack, &input);
        EXPECT_TRUE(kept == givenBack);
        const std::size_t pages = input.size() / page;
        std::vector<unsigned char> flags(pages);
        ASSERT_EQ(::mincore(input.data(), pages * page, flags.data()), 0);
        const auto inMemory = static_cast<std::size_t>(
            std::count_if(flags.begin(), flags.end(), [](unsigned char f) { return f & 1; }));
        EXPECT_LT(inMemory * page, history + (3u << 20));
    }
}

} // namespace
} // namespace vexa
