#include "platform/WorkerPool.h"

#include "platform/Processors.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vexa::platform {
namespace {

using namespace std::chrono_literals;

// Counts the runs going on at once and remembers the most seen.
struct Concurrency {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    void enter() {
        const int value = ++now;
        int seen = most.load();
        while (value > seen && !most.compare_exchange_weak(seen, value)) {
        }
    }
    void leave() { --now; }
};

TEST(WorkerPool, ARunGetsTheHelpersTheBudgetHasAndEveryItemIsDoneOnce) {
    struct Case {
        unsigned cores;
        std::size_t asked;
        int most; // runs at once
    };
    for (const Case row :
         {Case{1, 8, 1}, Case{4, 1, 1}, Case{4, 3, 3}, Case{4, 16, 4}, Case{8, 8, 8}}) {
        WorkerPool pool(row.cores);
        Concurrency runs;
        std::vector<std::atomic<int>> done(1000);
        std::atomic<std::size_t> next{0};
        pool.run(row.asked, [&](std::size_t) {
            runs.enter();
            // Every helper the budget allows gets in before the items are shared out, however
            // late a loaded machine starts it; a helper too few fails after the wait.
            for (const auto start = std::chrono::steady_clock::now();
                 runs.most.load() < row.most && std::chrono::steady_clock::now() - start < 3s;)
                std::this_thread::sleep_for(1ms);
            for (std::size_t item; (item = next++) < done.size();)
                ++done[item];
            runs.leave();
        });
        EXPECT_EQ(runs.most.load(), row.most) << row.cores << " cores, " << row.asked;
        for (const auto& count : done)
            ASSERT_EQ(count.load(), 1);
        EXPECT_EQ(pool.idleCores(), row.cores - 1) << "every helper was given back";
    }
}

TEST(WorkerPool, NestedRunsBorrowWhatIsLeftInsteadOfMultiplying) {
    WorkerPool pool(6);
    Concurrency threads;
    std::atomic<int> innerRuns{0};
    pool.run(3, [&](std::size_t) {
        pool.run(4, [&](std::size_t) {
            threads.enter();
            ++innerRuns;
            std::this_thread::sleep_for(30ms);
            threads.leave();
        });
    });
    // Three outer runs, each asking for four: twelve if multiplied, the budget is six.
    EXPECT_LE(threads.most.load(), 6);
    EXPECT_GE(innerRuns.load(), 3) << "each outer run does its inner work at least itself";
    EXPECT_EQ(pool.idleCores(), 5u);
}

TEST(WorkerPool, LeasesHoldCoresUntilTheyGo) {
    WorkerPool pool(4);
    {
        WorkerPool::Lease stage = pool.borrow(2);
        EXPECT_EQ(stage.count(), 2u);
        EXPECT_EQ(pool.idleCores(), 1u);
        EXPECT_EQ(pool.borrow(5).count(), 1u) << "only what is idle";
        WorkerPool::Lease moved = std::move(stage);
        EXPECT_EQ(pool.idleCores(), 1u);
        Concurrency runs;
        pool.run(4, [&](std::size_t) {
            runs.enter();
            std::this_thread::sleep_for(20ms);
            runs.leave();
        });
        EXPECT_EQ(runs.most.load(), 2);
    }
    EXPECT_EQ(pool.idleCores(), 3u);
    EXPECT_EQ(WorkerPool::process().cores(), usableCores());
}

TEST(WorkerPool, AnAskerThatWaitsLendsItsOwnCoreToo) {
    WorkerPool pool(4);
    {
        WorkerPool::Lease stage = pool.borrow(8, WorkerPool::Asker::waits);
        EXPECT_EQ(stage.count(), 4u) << "every core, the asker's included";
        EXPECT_EQ(pool.idleCores(), 0u);
        EXPECT_EQ(pool.borrow(2).count(), 0u);
        EXPECT_EQ(pool.borrow(2, WorkerPool::Asker::waits).count(), 0u);
        Concurrency runs;
        pool.run(3, [&](std::size_t) {
            runs.enter();
            runs.leave();
        });
        EXPECT_EQ(runs.most.load(), 1) << "with nothing lendable the asker works alone";
    }
    EXPECT_EQ(pool.idleCores(), 3u);
    // A helper that waits for a stage of its own hands over the core it was lent, no more.
    std::atomic<unsigned> nested{0};
    pool.run(2, [&](std::size_t run) {
        if (run == 1)
            nested = pool.borrow(8, WorkerPool::Asker::waits).count();
    });
    EXPECT_EQ(nested.load(), 3u) << "the two idle and its own; the asker's is still working";
    EXPECT_EQ(pool.idleCores(), 3u);
}

TEST(WorkerPool, TheFirstFailureComesBackAfterEveryRunHasEnded) {
    WorkerPool pool(4);
    std::atomic<int> ended{0};
    EXPECT_THROW(pool.run(4,
                          [&](std::size_t run) {
                              std::this_thread::sleep_for(10ms * static_cast<int>(run));
                              ++ended;
                              if (run == 0)
                                  throw std::runtime_error("first");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ended.load(), 4);
    EXPECT_EQ(pool.idleCores(), 3u);
}

TEST(WorkerPool, ManyThreadsAskingAtOnceNeverExceedTheBudget) {
    WorkerPool pool(5);
    Concurrency helpers;
    std::vector<std::thread> askers;
    for (int t = 0; t < 6; ++t)
        askers.emplace_back([&] {
            for (int round = 0; round < 30; ++round)
                pool.run(3, [&](std::size_t run) {
                    if (run == 0)
                        return; // the asking threads are not the pool's
                    helpers.enter();
                    std::this_thread::yield();
                    helpers.leave();
                });
        });
    for (auto& asker : askers)
        asker.join();
    EXPECT_LE(helpers.most.load(), 4);
    EXPECT_EQ(pool.idleCores(), 4u);
}

} // namespace
} // namespace vexa::platform
