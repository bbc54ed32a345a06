// The segment pipeline: how it cuts the data, and its results, which joined in the order they
// are taken are one LZMA2 stream that Python's lzma module decodes to the folder's bytes,
// whatever the mix of text and noise and however many segments wait at once.
#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"

#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"
#include "platform/PlatformError.h"
#include "platform/WorkerPool.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace vexa::testing;

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

// The folder's bytes in segments, each with the history before it, through the pipeline; the
// results joined, with the end marker.
std::string compressFolder(SevenZipSegmentPipeline& pipeline, const std::string& folder) {
    std::string joined;
    auto takeOne = [&] {
        const platform::SystemBytes out = pipeline.takeOldest();
        joined.append(out.begin(), out.end());
    };
    for (std::size_t start = 0; start < folder.size(); start += pipeline.segmentSize()) {
        const std::size_t history = std::min(start, pipeline.historySize());
        const std::size_t end = std::min(folder.size(), start + pipeline.segmentSize());
        if (pipeline.pending() == pipeline.maxPending())
            takeOne();
        EXPECT_LT(pipeline.pending(), pipeline.maxPending());
        pipeline.submit(platform::SystemBytes(folder.begin() + static_cast<long>(start - history),
                                              folder.begin() + static_cast<long>(end)),
                        history);
    }
    while (pipeline.pending() > 0)
        takeOne();
    return joined;
}

std::string pythonLzma2Decode(const fs::path& folder, const std::string& stream,
                              std::uint8_t property) {
    writeFile(folder / "flujo", stream + std::string(1, '\0'));
    const std::string script =
        "import lzma,sys\np=int(sys.argv[2])\nd=(2|(p&1))<<(p//2+11)\n"
        "sys.stdout.buffer.write(lzma.decompress(open(sys.argv[1],'rb').read(),"
        "format=lzma.FORMAT_RAW,filters=[{'id':lzma.FILTER_LZMA2,'dict_size':d}]))\n";
    const CommandResult result =
        runCommand("/usr/bin/python3 -c " + shellQuote(script) + " " +
                   shellQuote((folder / "flujo").string()) + " " + std::to_string(property));
    EXPECT_EQ(result.exitStatus, 0);
    return result.output;
}

TEST(SevenZipSegmentPipeline, JoinedResultsDecodeToTheFolder) {
    TemporaryDirectory temporary;
    for (const int level : {1}) {
        Progress progress;
        SevenZipSegmentPipeline pipeline(level, progress);
        ASSERT_EQ(pipeline.properties().size(), 1u);
        const std::size_t segment = pipeline.segmentSize();
        // Text, a stretch of noise across a segment's edge, text that repeats what lies in
        // the segment before it, and a short last segment.
        std::string folder = sampleBytes(segment - 1000, 1, true);
        folder += sampleBytes(5000, 2, false);
        folder += folder.substr(0, segment / 2);
        folder += sampleBytes(segment + 77, 3, true);
        for (const std::string& bytes : {folder, folder.substr(0, 10), std::string("x")}) {
            SCOPED_TRACE(std::to_string(level) + " " + std::to_string(bytes.size()));
            const std::string joined = compressFolder(pipeline, bytes);
            EXPECT_LT(joined.size(), bytes.size() + bytes.size() / 100 + 64);
            const std::string decoded =
                pythonLzma2Decode(temporary.path(), joined, pipeline.properties()[0]);
            ASSERT_EQ(decoded.size(), bytes.size());
            EXPECT_TRUE(decoded == bytes);
        }
    }
}

// The encoders are cores of the process's pool while the pipeline lives; a pipeline made when
// the pool has none to lend still compresses, on one encoder.
TEST(SevenZipSegmentPipeline, EncodersAreBorrowedFromTheProcessPool) {
    platform::WorkerPool& pool = platform::WorkerPool::process();
    const unsigned idle = pool.idleCores();
    Progress progress;
    {
        SevenZipSegmentPipeline first(1, progress);
        EXPECT_GE(first.maxPending(), 1u);
        EXPECT_LE(first.maxPending(), pool.cores());
        EXPECT_LE(pool.idleCores() + first.maxPending(), pool.cores());
        platform::WorkerPool::Lease rest =
            pool.borrow(pool.cores(), platform::WorkerPool::Asker::waits);
        SevenZipSegmentPipeline second(0, progress);
        EXPECT_EQ(second.maxPending(), 1u);
        const std::string folder = sampleBytes(second.segmentSize() * 2 + 5, 6, false);
        EXPECT_TRUE(compressFolder(second, folder) == folder);
    }
    EXPECT_EQ(pool.idleCores(), idle);
}

TEST(SevenZipSegmentPipeline, LevelZeroHandsTheSegmentsBackInOrder) {
    Progress progress;
    SevenZipSegmentPipeline pipeline(0, progress);
    EXPECT_TRUE(pipeline.properties().empty());
    EXPECT_EQ(pipeline.historySize(), 0u);
    std::string folder = sampleBytes(pipeline.segmentSize() * 5 + 3, 4, false);
    EXPECT_TRUE(compressFolder(pipeline, folder) == folder);
}

TEST(SevenZipSegmentPipeline, ACancelledProgressEndsTheTaking) {
    for (const int level : {0, 3}) {
        Progress progress;
        SevenZipSegmentPipeline pipeline(level, progress);
        const std::string bytes = sampleBytes(pipeline.segmentSize(), 5, true);
        while (pipeline.pending() < pipeline.maxPending())
            pipeline.submit(platform::SystemBytes(bytes.begin(), bytes.end()), 0);
        progress.cancel();
        EXPECT_THROW(pipeline.takeOldest(), CancellationError) << level;
        // The pipeline goes away with segments still queued.
    }
}

} // namespace
} // namespace vexa
