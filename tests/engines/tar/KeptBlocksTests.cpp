#include "TarFixtures.h"
#include "engines/tar/KeptBlocks.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace testing::tar;
using vexa::tar::BlockKeeper;
using vexa::tar::KeptBlock;
using vexa::tar::KeptBlockSource;

std::string readAll(KeptBlockSource& source, std::size_t piece) {
    std::string result(piece, '\0');
    std::string all;
    while (std::size_t count = source.read(result.data(), piece))
        all.append(result.data(), count);
    return all;
}

std::uint64_t heldBy(const KeptBlock& block) {
    std::uint64_t held = 0;
    for (const std::vector<char>& piece : block.pieces)
        held += piece.size();
    return held;
}

std::shared_ptr<const KeptBlock> keep(const std::string& bytes, std::uint64_t budget,
                                      std::atomic<std::uint64_t>& used, bool asTheyAre) {
    BlockKeeper keeper(budget, used, bytes.size(), asTheyAre);
    for (std::size_t at = 0; at < bytes.size(); at += 100000)
        keeper.add(bytes.data() + at, std::min<std::size_t>(100000, bytes.size() - at));
    return keeper.finish();
}

// A block kept within the budget reads back byte for byte, in pieces of any size, and stays
// counted; a block that does not fit gives up and leaves the budget as it found it, so that
// the blocks after it may still be kept.
TEST(KeptBlocks, BlocksWithinTheBudgetReadBackAndTheOthersGiveUp) {
    const std::string text = sampleBytes(3 << 20, 21, true);
    const std::string noise = sampleBytes(3 << 20, 22, false);
    std::atomic<std::uint64_t> used{0};
    const std::uint64_t budget = 3u << 20;

    std::shared_ptr<const KeptBlock> kept = keep(text, budget, used, false);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->compressed);
    EXPECT_EQ(used, heldBy(*kept));
    EXPECT_LT(heldBy(*kept), text.size() / 2);
    for (std::size_t piece : {1u, 4096u, 1u << 22}) {
        KeptBlockSource source(kept);
        EXPECT_TRUE(readAll(source, piece) == text) << piece;
    }

    const std::uint64_t before = used;
    EXPECT_EQ(keep(noise, budget, used, true), nullptr);
    EXPECT_EQ(used, before);
    {
        // Given up halfway, the keeper returns its room when it goes.
        BlockKeeper keeper(budget + (8u << 20), used, noise.size(), false);
        keeper.add(noise.data(), noise.size() / 2);
    }
    EXPECT_EQ(used, before);
}

// Blocks are kept as they are while they fit, then compressed, then not at all; whichever way,
// they read back the same, and what was not kept is not counted.
TEST(KeptBlocks, BlocksAreKeptAsTheyAreThenCompressedWithinOneBudget) {
    const std::string text = sampleBytes(2 << 20, 24, true);
    const std::string noise = sampleBytes(2 << 20, 25, false);
    std::atomic<std::uint64_t> used{0};
    const std::uint64_t budget = 5u << 20;
    struct Case {
        const std::string& bytes;
        bool asTheyAre;
        bool kept;
        bool compressed;
    };
    const Case cases[] = {
        {text, true, true, false},    // 2 of 5 MiB
        {noise, false, true, true},   // compressed as asked, though it stays as large
        {text, true, true, true},     // 2 more would pass 5; compressed, it fits
        {noise, false, false, false}, // fits neither way
        {text, false, true, true},
    };
    std::uint64_t expected = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        std::shared_ptr<const KeptBlock> kept = keep(c.bytes, budget, used, c.asTheyAre);
        ASSERT_EQ(kept != nullptr, c.kept);
        if (kept) {
            EXPECT_EQ(kept->compressed, c.compressed);
            expected += heldBy(*kept);
            KeptBlockSource source(kept);
            EXPECT_TRUE(readAll(source, 65536) == c.bytes);
        }
        EXPECT_EQ(used, expected);
    }
    EXPECT_LE(used, budget);

    // A block that decodes to more or fewer bytes than its index says is not kept.
    for (std::size_t given : {text.size() - 1, text.size() + 1}) {
        std::atomic<std::uint64_t> alone{0};
        BlockKeeper keeper(budget, alone, text.size(), true);
        EXPECT_TRUE(keeper.keepsRaw());
        keeper.add(text.data(), std::min(given, text.size()));
        if (given > text.size())
            keeper.add(text.data(), 1);
        EXPECT_EQ(keeper.finish(), nullptr) << given;
        EXPECT_EQ(alone, 0u);
    }
}

// The plan keeps blocks as they are in stream order while the compressed estimates of the
// blocks after them still fit, compresses the others, and leaves out those not worth keeping.
TEST(KeptBlocks, ThePlanKeepsEarlyBlocksAsTheyAreAndLeavesRoomForTheLaterOnes) {
    using vexa::tar::Keeping;
    const Keeping none = Keeping::none, asItIs = Keeping::asItIs, compressed = Keeping::compressed;
    struct Case {
        std::vector<vexa::tar::BlockToKeep> blocks;
        std::uint64_t budget;
        std::vector<Keeping> plan;
    };
    const Case cases[] = {
        {{{10, 4}, {10, 4}, {10, 4}}, 30, {asItIs, asItIs, asItIs}},
        {{{10, 4}, {10, 4}, {10, 4}}, 28, {asItIs, asItIs, compressed}},
        {{{10, 4}, {10, 4}, {10, 4}}, 20, {asItIs, compressed, compressed}},
        {{{10, 4}, {10, 4}, {10, 4}}, 11, {compressed, compressed, compressed}},
        // A stored block takes no room; a small block at the end may still fit as it is.
        {{{10, 4}, {10, 0}, {10, 4}, {2, 1}}, 20, {asItIs, none, compressed, asItIs}},
        {{{10, 0}, {10, 0}}, 0, {none, none}},
        {{}, 100, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vexa::tar::planKeeping(c.blocks, c.budget), c.plan) << c.budget;
}

// A damaged frame fails as damaged data, not with garbage.
TEST(KeptBlocks, ADamagedFrameIsDamagedData) {
    std::atomic<std::uint64_t> used{0};
    const std::string text = sampleBytes(100000, 23, true);
    std::shared_ptr<const KeptBlock> kept = keep(text, 1u << 30, used, false);
    ASSERT_TRUE(kept && kept->compressed);
    auto damaged = std::make_shared<KeptBlock>(*kept);
    damaged->pieces.back().resize(damaged->pieces.back().size() / 2);
    KeptBlockSource source(damaged);
    EXPECT_THROW(readAll(source, 4096), ArchiveFailure);
}

} // namespace
} // namespace vexa
