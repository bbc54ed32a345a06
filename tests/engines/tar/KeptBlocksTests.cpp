#include "TarFixtures.h"
#include "engines/tar/KeptBlocks.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace testing::tar;
using vexa::tar::BlockKeeper;
using vexa::tar::KeptBlockSource;

std::string readAll(KeptBlockSource& source, std::size_t piece) {
    std::string result(piece, '\0');
    std::string all;
    while (std::size_t count = source.read(result.data(), piece))
        all.append(result.data(), count);
    return all;
}

// A block kept within the budget reads back byte for byte, in pieces of any size, and stays
// counted; a block that does not fit gives up and leaves the budget as it found it, so that
// the blocks after it may still be kept.
TEST(KeptBlocks, BlocksWithinTheBudgetReadBackAndTheOthersGiveUp) {
    const std::string text = sampleBytes(3 << 20, 21, true);
    const std::string noise = sampleBytes(3 << 20, 22, false);
    std::atomic<std::uint64_t> used{0};
    const std::uint64_t budget = 3u << 20;

    std::shared_ptr<const std::vector<char>> kept;
    {
        BlockKeeper keeper(budget, used);
        for (std::size_t at = 0; at < text.size(); at += 100000)
            keeper.add(text.data() + at, std::min<std::size_t>(100000, text.size() - at));
        kept = keeper.finish();
    }
    ASSERT_TRUE(kept);
    EXPECT_EQ(used, kept->size());
    EXPECT_LT(kept->size(), text.size() / 2);
    for (std::size_t piece : {1u, 4096u, 1u << 22}) {
        KeptBlockSource source(kept);
        EXPECT_TRUE(readAll(source, piece) == text) << piece;
    }

    const std::uint64_t before = used;
    {
        BlockKeeper keeper(budget, used);
        keeper.add(noise.data(), noise.size());
        EXPECT_EQ(keeper.finish(), nullptr);
    }
    EXPECT_EQ(used, before);
    {
        // Given up halfway, the keeper returns its room when it goes.
        BlockKeeper keeper(budget + (8u << 20), used);
        keeper.add(noise.data(), noise.size() / 2);
    }
    EXPECT_EQ(used, before);
}

// A damaged frame fails as damaged data, not with garbage.
TEST(KeptBlocks, ADamagedFrameIsDamagedData) {
    std::atomic<std::uint64_t> used{0};
    BlockKeeper keeper(1u << 30, used);
    const std::string text = sampleBytes(100000, 23, true);
    keeper.add(text.data(), text.size());
    auto frame = std::make_shared<std::vector<char>>(*keeper.finish());
    frame->resize(frame->size() / 2);
    KeptBlockSource source(frame);
    EXPECT_THROW(readAll(source, 4096), ArchiveFailure);
}

} // namespace
} // namespace vexa
