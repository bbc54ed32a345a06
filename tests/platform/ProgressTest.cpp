#include "platform/Progress.h"

#include "platform/PlatformError.h"

#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vexa {
namespace {

struct FractionCase {
    const char* name;
    std::int64_t total;
    std::int64_t completed;
    double expected;
};

class ProgressFraction : public ::testing::TestWithParam<FractionCase> {};

TEST_P(ProgressFraction, FollowsUnits) {
    const FractionCase& c = GetParam();
    Progress progress(c.total);
    progress.setCompletedUnitCount(c.completed);
    EXPECT_DOUBLE_EQ(progress.fractionCompleted(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressFraction,
                         ::testing::Values(FractionCase{"noTotal", 0, 5, 0.0},
                                           FractionCase{"negativeTotal", -1, 5, 0.0},
                                           FractionCase{"half", 10, 5, 0.5},
                                           FractionCase{"done", 7, 7, 1.0},
                                           FractionCase{"overrun", 10, 25, 1.0},
                                           FractionCase{"negativeDone", 10, -3, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Progress, ChildFractionCountsForItsPendingUnits) {
    auto parent = Progress::make(10);
    parent->setCompletedUnitCount(2);
    auto child = Progress::make(4);
    parent->addChild(child, 4);
    child->setCompletedUnitCount(2);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), (2 + 0.5 * 4) / 10);
    // A running child is not part of the parent's own count.
    EXPECT_EQ(parent->completedUnitCount(), 2);
}

TEST(Progress, FinishedChildAddsItsPendingUnitsOnce) {
    auto parent = Progress::make(3);
    auto child = Progress::make(100);
    parent->addChild(child, 1);
    child->setCompletedUnitCount(100);
    EXPECT_EQ(parent->completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0 / 3);
    // Work reported after completion must not count the child a second time.
    child->addCompletedUnits(50);
    EXPECT_EQ(parent->completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0 / 3);
}

TEST(Progress, OneChildPerEntryWeighsEveryEntryTheSame) {
    // The writers' pattern: total = entries, each entry a child of its own size worth 1 unit.
    auto operation = Progress::make(0);
    operation->setTotalUnitCount(4);
    std::vector<std::shared_ptr<Progress>> entries;
    for (std::int64_t size : {1, 1000, 5, 1}) {
        auto entry = Progress::make(size);
        operation->addChild(entry, 1);
        entries.push_back(entry);
    }
    entries[1]->setCompletedUnitCount(250);
    EXPECT_DOUBLE_EQ(operation->fractionCompleted(), 0.25 / 4);
    for (auto& entry : entries)
        entry->setCompletedUnitCount(entry->totalUnitCount());
    EXPECT_EQ(operation->completedUnitCount(), 4);
    EXPECT_DOUBLE_EQ(operation->fractionCompleted(), 1.0);
    EXPECT_TRUE(operation->isFinished());
}

TEST(Progress, GrandchildReachesTheTop) {
    auto top = Progress::make(2);
    auto middle = Progress::make(1);
    auto bottom = Progress::make(10);
    top->addChild(middle, 2);
    middle->addChild(bottom, 1);
    bottom->setCompletedUnitCount(5);
    EXPECT_DOUBLE_EQ(top->fractionCompleted(), 0.5);
    bottom->setCompletedUnitCount(10);
    EXPECT_TRUE(middle->isFinished());
    EXPECT_EQ(top->completedUnitCount(), 2);
}

TEST(Progress, SettingTheCountReplacesWhatFinishedChildrenAdded) {
    auto parent = Progress::make(10);
    auto child = Progress::make(1);
    parent->addChild(child, 3);
    child->setCompletedUnitCount(1);
    parent->setCompletedUnitCount(5);
    EXPECT_EQ(parent->completedUnitCount(), 5);
    parent->addCompletedUnits(2);
    EXPECT_EQ(parent->completedUnitCount(), 7);
}

TEST(Progress, ChildWithoutTotalCountsNothingUntilItHasOne) {
    auto parent = Progress::make(2);
    auto child = Progress::make(0);
    parent->addChild(child, 2);
    child->setCompletedUnitCount(3);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.0);
    EXPECT_FALSE(child->isFinished());
    child->setTotalUnitCount(6);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.5);
}

TEST(Progress, CancelReachesChildrenAddedBeforeAndAfter) {
    auto parent = Progress::make(2);
    auto before = Progress::make(1);
    auto grandchild = Progress::make(1);
    parent->addChild(before, 1);
    before->addChild(grandchild, 1);
    parent->cancel();
    auto after = Progress::make(1);
    parent->addChild(after, 1);
    EXPECT_TRUE(before->isCancelled());
    EXPECT_TRUE(grandchild->isCancelled());
    EXPECT_TRUE(after->isCancelled());
    EXPECT_THROW(after->throwIfCancelled(), CancellationError);
}

TEST(Progress, CancellingAChildLeavesItsParentRunning) {
    auto parent = Progress::make(1);
    auto child = Progress::make(1);
    parent->addChild(child, 1);
    child->cancel();
    EXPECT_FALSE(parent->isCancelled());
    EXPECT_NO_THROW(parent->throwIfCancelled());
}

TEST(Progress, ObserverSeesEachCountAndCanCancelThere) {
    Progress progress(10);
    std::vector<std::int64_t> seen;
    progress.setCompletionObserver([&](std::int64_t completed) {
        seen.push_back(completed);
        if (completed > 4)
            progress.cancel();
    });
    progress.addCompletedUnits(3);
    EXPECT_FALSE(progress.isCancelled());
    progress.addCompletedUnits(2);
    EXPECT_TRUE(progress.isCancelled());
    progress.setCompletedUnitCount(1);
    EXPECT_EQ(seen, (std::vector<std::int64_t>{3, 5, 1}));
}

TEST(Progress, RefusesCycles) {
    auto a = Progress::make(1);
    auto b = Progress::make(1);
    a->addChild(b, 1);
    EXPECT_THROW(b->addChild(a, 1), std::logic_error);
    EXPECT_THROW(a->addChild(a, 1), std::logic_error);
    EXPECT_THROW(a->addChild(nullptr, 1), std::logic_error);
}

TEST(ProgressThreads, CancelFromTheMainThreadStopsAWorker) {
    auto progress = Progress::make(0);
    std::atomic<bool> stoppedByCancellation{false};
    std::thread worker([&] {
        try {
            for (;;) {
                progress->throwIfCancelled();
                progress->addCompletedUnits(1);
                std::this_thread::yield();
            }
        } catch (const CancellationError&) {
            stoppedByCancellation = true;
        }
    });
    while (progress->completedUnitCount() == 0)
        std::this_thread::yield();
    progress->cancel();
    worker.join();
    EXPECT_TRUE(stoppedByCancellation);
}

TEST(ProgressThreads, ConcurrentUpdatesAreNotLost) {
    auto parent = Progress::make(1);
    constexpr int perThread = 20000;
    std::vector<std::thread> threads;
    std::atomic<bool> reading{true};
    // A reader walking the children while writers add them and finish them.
    std::thread reader([&] {
        while (reading) {
            const double fraction = parent->fractionCompleted();
            ASSERT_GE(fraction, 0.0);
            ASSERT_LE(fraction, 1.0);
        }
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                auto child = Progress::make(1);
                parent->addChild(child, 1);
                child->addCompletedUnits(1);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    reading = false;
    reader.join();
    EXPECT_EQ(parent->completedUnitCount(), 2 * perThread);
}

} // namespace
} // namespace vexa

namespace vexa {
namespace {

// Workers reporting at once: the observer is never entered twice at a time, and it sees the
// counts rising, ending at the total.
TEST(ProgressThreads, ObserverCallsFromSeveralWorkersComeOneAtATime) {
    Progress progress(4 * 20000);
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::int64_t last = 0;
    bool rising = true;
    progress.setCompletionObserver([&](std::int64_t completed) {
        if (inside.exchange(true))
            overlapped = true;
        rising = rising && completed > last;
        last = completed;
        inside = false;
    });
    {
        std::vector<std::jthread> workers;
        for (int i = 0; i < 4; ++i)
            workers.emplace_back([&] {
                for (int k = 0; k < 20000; ++k)
                    progress.addCompletedUnits(1);
            });
    }
    EXPECT_FALSE(overlapped.load());
    EXPECT_TRUE(rising);
    EXPECT_EQ(last, 4 * 20000);
}

} // namespace
} // namespace vexa
