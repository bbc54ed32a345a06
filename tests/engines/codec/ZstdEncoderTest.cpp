#include "engines/codec/ZstdEncoder.h"

#include "tests/engines/codec/Encoding.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace vexa::codec {
namespace {

using testing::readFile;
using testing::runChecked;
using testing::sampleBytes;
using testing::TemporaryDirectory;
using testing::writeFile;

std::string encode(ZstdEncoder& encoder, const std::string& plain, std::size_t piece,
                   std::size_t room) {
    bool everyPieceTaken = false;
    std::string packed = testing::encodeInPieces(encoder, plain, piece, room, everyPieceTaken);
    EXPECT_TRUE(everyPieceTaken);
    return packed;
}

TEST(ZstdEncoder, MakesOneFrameThatTheZstdToolReadsBackWhateverTheWorkersAndBuffers) {
    ASSERT_TRUE(testing::commandExists("zstd")) << "missing tool: zstd";
    const std::string plain =
        sampleBytes(3 * 1024 * 1024, 11, true) + sampleBytes(300 * 1024, 12, false);
    struct Case {
        int level;
        bool checksum;
        int workers;
        std::size_t piece;
        std::size_t room;
        std::size_t jobSize = 0;
    };
    const Case cases[] = {
        {1, false, 0, 4096, 100},
        {3, true, 0, 1 << 20, 1 << 17},
        {3, true, 2, 777, 1 << 16},
        {19, false, 3, 1 << 22, 5000},
        // Jobs shorter than the library's own: several jobs, still one frame.
        {6, true, 3, 1 << 16, 1 << 16, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "level " << c.level << ", workers " << c.workers);
        ZstdEncoder encoder(c.level, c.checksum, c.workers, c.jobSize);
        const std::string packed = encode(encoder, plain, c.piece, c.room);
        ASSERT_GT(packed.size(), 5u);
        // The frame header's descriptor says whether a content checksum ends the frame.
        EXPECT_EQ((static_cast<unsigned char>(packed[4]) & 0x04) != 0, c.checksum);
        TemporaryDirectory folder;
        writeFile(folder / "packed.zst", packed);
        EXPECT_EQ(runChecked("zstd -q -dc packed.zst", folder.path()), plain);
        // One frame: the tool lists it so.
        EXPECT_NE(runChecked("zstd -l packed.zst", folder.path()).find(" 1 "), std::string::npos);
    }
}

TEST(ZstdEncoder, AnEmptyInputIsAnEmptyFrameAndLargerLevelsHoldMore) {
    ASSERT_TRUE(testing::commandExists("zstd")) << "missing tool: zstd";
    ZstdEncoder encoder(3, true);
    const std::string packed = encode(encoder, "", 1, 1);
    TemporaryDirectory folder;
    writeFile(folder / "empty.zst", packed);
    EXPECT_EQ(runChecked("zstd -q -dc empty.zst", folder.path()), "");

    const auto memory = ZstdEncoder::workerMemory(3);
    EXPECT_GT(memory.perWorker, memory.shared / 4);
    EXPECT_LT(ZstdEncoder::workerMemory(1).shared, ZstdEncoder::workerMemory(19).shared);

    // Shorter jobs hold less, both shared and per worker.
    const auto own = ZstdEncoder::workerMemory(6);
    const auto halved = ZstdEncoder::workerMemory(6, own.job / 2);
    EXPECT_EQ(halved.job, own.job / 2);
    EXPECT_LT(halved.shared, own.shared);
    EXPECT_LT(halved.perWorker, own.perWorker);
}

// Fed through a pipe, the fast levels hold the output of only a few jobs however many workers
// they run; the slower levels hold one per worker.
TEST(ZstdEncoder, AtFastLevelsAPipeFedCompressorHoldsFewerOutputs) {
    for (const auto& [level, fast] :
         {std::pair{1, true}, std::pair{3, true}, std::pair{6, false}, std::pair{19, false}}) {
        SCOPED_TRACE(level);
        const ZstdEncoder::WorkerMemory memory = ZstdEncoder::workerMemory(level);
        EXPECT_EQ(memory.outpacesPipe, fast);
        EXPECT_LT(memory.output, memory.perWorker);
        for (unsigned workers : {1u, 3u})
            EXPECT_EQ(memory.fedThroughPipe(workers), memory.shared + workers * memory.perWorker);
        const std::size_t all = memory.shared + 8 * memory.perWorker;
        if (fast)
            EXPECT_EQ(memory.fedThroughPipe(8), all - 5 * memory.output);
        else
            EXPECT_EQ(memory.fedThroughPipe(8), all);
    }
}

} // namespace
} // namespace vexa::codec
