#include "platform/BlockPipe.h"

#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <vector>
#include <stdexcept>
#include <thread>

namespace vexa::platform {
namespace {

using vexa::testing::readFile;
using vexa::testing::sampleBytes;
using vexa::testing::TemporaryDirectory;
using vexa::testing::writeFile;
using namespace std::chrono_literals;

// A file written behind: the blocks reach it whole and in order, the length heard last is the
// file's once finish() returns, and a file that refuses the bytes fails the maker's next call.
TEST(WriteBehind, BlocksArriveInOrderAndFailuresReachTheMaker) {
    TemporaryDirectory folder;
    const std::string bytes = sampleBytes(100000, 4, false);
    {
        files::FileDescriptor file(files::createFile(folder / "out", 0644));
        std::atomic<std::int64_t> heard{0};
        WriteBehind behind(
            1000, 3, [&, length = std::int64_t{0}](const char* data, std::size_t size) mutable {
                files::writeAll(file.get(), data, size, folder / "out");
                heard = length += static_cast<std::int64_t>(size);
            });
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t length = std::min<std::size_t>(1 + at % 7 * 142, bytes.size() - at);
            std::memcpy(behind.block(), bytes.data() + at, length);
            behind.hand(length);
            at += length;
        }
        behind.hand(0); // kept: nothing is drained for it
        behind.finish();
        EXPECT_EQ(behind.drained(), static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(heard.load(), behind.drained());
    }
    EXPECT_EQ(readFile(folder / "out"), bytes);

    writeFile(folder / "solo-lectura", "");
    files::FileDescriptor readOnly(::open((folder / "solo-lectura").c_str(), O_RDONLY));
    WriteBehind behind(10, 2, [&](const char* data, std::size_t size) {
        files::writeAll(readOnly.get(), data, size, folder / "solo-lectura");
    });
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i)
                behind.hand(std::strlen(std::strcpy(behind.block(), "bloque")));
            behind.finish();
        },
        PlatformError);
}

TEST(WriteBehind, AMakerAheadOfTheDrainWaitsWithinTheBlocksItHas) {
    std::atomic<int> inFlight{0};
    std::atomic<int> most{0};
    std::atomic<bool> release{false};
    WriteBehind behind(16, 3, [&](const char*, std::size_t) {
        while (!release)
            std::this_thread::sleep_for(1ms);
        --inFlight;
    });
    std::thread maker([&] {
        for (int i = 0; i < 20; ++i) {
            behind.block();
            most = std::max(most.load(), ++inFlight);
            behind.hand(1);
        }
        behind.finish();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(most.load(), 3) << "three blocks, and the maker waits for a free one";
    release = true;
    maker.join();
    EXPECT_EQ(behind.drained(), 20);
}

// A source that gives its bytes in odd pieces and fails after `failAfter` of them, if given.
struct PieceSource {
    const std::string& bytes;
    std::size_t at = 0;
    std::size_t failAfter = std::string::npos;
    std::size_t operator()(char* buffer, std::size_t capacity) {
        if (at >= failAfter)
            throw std::runtime_error("dañado");
        const std::size_t count =
            std::min({capacity, bytes.size() - at, 1 + at % 5000, failAfter - at});
        std::memcpy(buffer, bytes.data() + at, count);
        at += count;
        return count;
    }
};

TEST(ReadAhead, ReadersGetTheBytesInOrderThenTheEndOrTheFailureAfterTheDataBeforeIt) {
    const std::string bytes = sampleBytes(300000, 5, true);
    struct Case {
        std::size_t blockSize, blockCount, failAfter;
        bool lending;
    };
    for (const Case row :
         {Case{4096, 2, std::string::npos, false}, Case{4096, 3, std::string::npos, true},
          Case{100000, 4, 250000, false}, Case{1000, 2, 123456, true}, Case{7, 2, 0, false}}) {
        ReadAhead ahead(row.blockSize, row.blockCount, PieceSource{bytes, 0, row.failAfter});
        std::string received;
        bool failed = false;
        try {
            for (;;) {
                char buffer[777];
                const char* lent = nullptr;
                const std::size_t count =
                    row.lending ? ahead.lend(&lent) : ahead.read(buffer, sizeof buffer);
                if (count == 0)
                    break;
                received.append(row.lending ? lent : buffer, count);
            }
        } catch (const std::runtime_error&) {
            failed = true;
        }
        const std::size_t expected = std::min(bytes.size(), row.failAfter);
        EXPECT_EQ(failed, row.failAfter != std::string::npos) << row.blockSize;
        // Every byte before the failure arrives, the block it cut short included.
        EXPECT_EQ(received, bytes.substr(0, expected)) << row.blockSize;
        char byte;
        EXPECT_EQ(ahead.read(&byte, 1), 0u) << "after the end or the failure, only the end";
    }
}

TEST(ReadAhead, AReaderThatStopsEarlyLeavesNothingRunning) {
    const std::string bytes = sampleBytes(1 << 20, 6, false);
    for (int round = 0; round < 50; ++round) {
        ReadAhead ahead(512, 2, PieceSource{bytes});
        char buffer[100];
        for (int i = 0; i < round; ++i)
            ASSERT_GT(ahead.read(buffer, sizeof buffer), 0u);
    }
}

TEST(BlockPipe, ManyPipesAtOnceCarryEveryByte) {
    const std::string bytes = sampleBytes(2 << 20, 7, false);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            std::string copied;
            {
                ReadAhead ahead(1000 + static_cast<std::size_t>(t) * 333, 2 + t % 3,
                                PieceSource{bytes});
                WriteBehind behind(4096, 2 + t % 2, [&](const char* data, std::size_t size) {
                    copied.append(data, size);
                });
                for (;;) {
                    const std::size_t count = ahead.read(behind.block(), behind.blockSize());
                    if (count == 0)
                        break;
                    behind.hand(count);
                }
                behind.finish();
            }
            if (copied != bytes)
                ++wrong;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Several fillers that finish their blocks out of order: the taker gets them in the order they
// were claimed, empty ones included, never more claimed than the pipe holds, and the pipe
// stopped ends every claim that waits.
TEST(BlockPipe, ClaimedBlocksArriveInClaimingOrder) {
    constexpr std::uint64_t blocks = 200;
    BlockPipe pipe(16, 3);
    std::mutex claiming;
    std::uint64_t next = 0;
    std::atomic<std::uint64_t> outstanding{0};
    std::atomic<bool> overfull{false};
    std::vector<std::jthread> fillers;
    std::atomic<unsigned> running{4};
    for (unsigned f = 0; f < 4; ++f)
        fillers.emplace_back([&, f] {
            for (;;) {
                std::optional<BlockPipe::Claim> claim;
                {
                    std::lock_guard lock(claiming);
                    if (next == blocks)
                        break;
                    claim = pipe.claim();
                    if (!claim)
                        break;
                    EXPECT_EQ(claim->number, next++);
                }
                if (++outstanding > 3)
                    overfull = true;
                // Later blocks often finish first.
                std::this_thread::sleep_for(
                    std::chrono::microseconds((f * 37 + claim->number) % 5 * 100));
                const std::size_t length = claim->number % 4 == 0 ? 0 : claim->number % 16 + 1;
                std::memset(claim->data, static_cast<int>(claim->number), length);
                --outstanding;
                pipe.handClaimed(claim->number, length);
            }
            if (--running == 0)
                pipe.end();
        });
    std::uint64_t seen = 0;
    while (const auto block = pipe.take()) {
        EXPECT_EQ(block->size(), seen % 4 == 0 ? 0 : seen % 16 + 1) << seen;
        for (char byte : *block)
            EXPECT_EQ(static_cast<unsigned char>(byte), seen % 256);
        ++seen;
        pipe.giveBack();
    }
    EXPECT_EQ(seen, blocks);
    EXPECT_FALSE(overfull.load());
    fillers.clear();

    BlockPipe full(8, 2);
    ASSERT_TRUE(full.claim());
    ASSERT_TRUE(full.claim());
    std::jthread waiting([&] { EXPECT_FALSE(full.claim()); });
    std::this_thread::sleep_for(20ms);
    full.stop();
}

} // namespace
} // namespace vexa::platform
