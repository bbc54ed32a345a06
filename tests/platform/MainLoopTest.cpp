#include "platform/MainLoop.h"

#include "platform/PlatformError.h"

#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

using namespace std::chrono_literals;
using Clock = MainLoop::Clock;

TEST(MainLoopJobs, RunInOrderOnTheLoopThreadWhenPostedFromAnywhere) {
    MainLoop loop;
    std::vector<int> order;
    bool onLoopThread = true;
    std::thread other([&] {
        for (int i = 0; i < 3; ++i)
            loop.post([&, i] {
                order.push_back(i);
                onLoopThread = onLoopThread && loop.isMainThread();
            });
    });
    other.join();
    loop.runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onLoopThread);
}

TEST(MainLoopJobs, JobExceptionLeavesTheRunAndTheLoopStaysUsable) {
    MainLoop loop;
    bool later = false;
    loop.post([] { throw std::runtime_error("job failed"); });
    loop.post([&] { later = true; });
    EXPECT_THROW(loop.runUntilIdle(), std::runtime_error);
    loop.runUntilIdle();
    EXPECT_TRUE(later);
}

TEST(MainLoopJobs, RunningOffTheLoopThreadIsRefused) {
    MainLoop loop;
    std::atomic<int> refusals{0};
    std::thread other([&] {
        for (auto call : {+[](MainLoop& l) { l.runUntilIdle(); }, +[](MainLoop& l) { l.run(); },
                          +[](MainLoop& l) { l.runUntil([] { return true; }); }}) {
            try {
                call(loop);
            } catch (const std::logic_error&) {
                ++refusals;
            }
        }
        EXPECT_FALSE(loop.isMainThread());
    });
    other.join();
    EXPECT_EQ(refusals, 3);
}

TEST(MainLoopJobs, RunEndsAtStopAndAnEarlyStopIsKept) {
    MainLoop loop;
    int ran = 0;
    loop.post([&] { ++ran; });
    loop.post([&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(ran, 1);

    std::thread other([&] { loop.stop(); });
    other.join();
    // The stop came first, so this run returns at once; the safety stop only ends a run that
    // lost it.
    bool safetyFired = false;
    const auto safety = loop.scheduleAfter(5s, [&] {
        safetyFired = true;
        loop.stop();
    });
    loop.run();
    EXPECT_FALSE(safetyFired);
    loop.cancelTimer(safety);
}

TEST(MainLoopJobs, StopFromABackgroundResultEndsRun) {
    MainLoop loop;
    bool delivered = false;
    loop.runInBackground([] { std::this_thread::sleep_for(5ms); },
                         [&](std::exception_ptr) {
                             delivered = true;
                             loop.stop();
                         });
    loop.run();
    EXPECT_TRUE(delivered);
}

TEST(MainLoopTimers, RepeatingTimerFiresAtOnceThenAfterEachInterval) {
    MainLoop loop;
    std::vector<Clock::time_point> firings;
    const auto start = Clock::now();
    // An hour-long interval: only the immediate first firing can happen during the test.
    const auto slow = loop.scheduleRepeating(1h, [&] { firings.push_back(Clock::now()); });
    EXPECT_TRUE(loop.runUntil([&] { return firings.size() == 1; }, 10s));
    EXPECT_FALSE(loop.runUntil([&] { return firings.size() > 1; }, 30ms));
    EXPECT_LT(firings.front() - start, 10s);
    loop.cancelTimer(slow);

    firings.clear();
    const auto interval = 20ms;
    const auto fast = loop.scheduleRepeating(interval, [&] { firings.push_back(Clock::now()); });
    ASSERT_TRUE(loop.runUntil([&] { return firings.size() >= 4; }, 10s));
    loop.cancelTimer(fast);
    for (std::size_t i = 1; i < firings.size(); ++i)
        EXPECT_GE(firings[i] - firings[i - 1], interval) << "firing " << i;
}

TEST(MainLoopTimers, OneShotFiresOnceAfterItsDelay) {
    MainLoop loop;
    int fired = 0;
    const auto start = Clock::now();
    Clock::time_point firedAt;
    loop.scheduleAfter(30ms, [&] {
        ++fired;
        firedAt = Clock::now();
    });
    loop.runUntilIdle(); // a pending one-shot timer keeps the loop busy
    EXPECT_EQ(fired, 1);
    EXPECT_GE(firedAt - start, 30ms);
    loop.runUntil([] { return false; }, 50ms);
    EXPECT_EQ(fired, 1);
}

TEST(MainLoopTimers, CancelledTimersDoNotFire) {
    MainLoop loop;
    int oneShot = 0;
    int repeating = 0;
    const auto a = loop.scheduleAfter(10ms, [&] { ++oneShot; });
    std::uint64_t self = 0;
    self = loop.scheduleRepeating(1ms, [&] {
        if (++repeating == 2)
            loop.cancelTimer(self); // from inside its own job, like the ticker's end
    });
    loop.cancelTimer(a);
    loop.cancelTimer(9999); // unknown: ignored
    loop.runUntil([] { return false; }, 60ms);
    EXPECT_EQ(oneShot, 0);
    EXPECT_EQ(repeating, 2);
}

TEST(MainLoopTimers, RepeatingTimersAloneLeaveTheLoopIdle) {
    MainLoop loop;
    loop.scheduleRepeating(1h, [] {});
    loop.runUntilIdle(); // must return although the timer never ends
    SUCCEED();
}

TEST(MainLoopTimers, ThrowingRepeatingTimerIsStillRescheduled) {
    MainLoop loop;
    int firings = 0;
    loop.scheduleRepeating(1h, [&] {
        ++firings;
        throw std::runtime_error("tick failed");
    });
    EXPECT_THROW(loop.runUntil([] { return false; }, 1s), std::runtime_error);
    // Not due again for an hour: a failed firing must not make it fire in a tight loop.
    loop.runUntil([] { return false; }, 30ms);
    EXPECT_EQ(firings, 1);
}

TEST(MainLoopTimers, JobsStillRunBesideAZeroIntervalTimer) {
    MainLoop loop;
    bool ran = false;
    loop.scheduleRepeating(Clock::duration::zero(), [] {});
    loop.post([&] { ran = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, 5s));
}

TEST(MainLoopRunUntil, GivesFalseAfterTheTimeout) {
    MainLoop loop;
    const auto start = Clock::now();
    EXPECT_FALSE(loop.runUntil([] { return false; }, 40ms));
    EXPECT_GE(Clock::now() - start, 40ms);
}

TEST(MainLoopRunUntil, SeesAConditionSetByAnotherThreadWithoutAnyJob) {
    MainLoop loop;
    std::atomic<bool> flag{false};
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        flag = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 10s));
    other.join();
}

TEST(MainLoopRunUntil, StopsAsSoonAsTheConditionHolds) {
    MainLoop loop;
    int ran = 0;
    for (int i = 0; i < 5; ++i)
        loop.post([&] { ++ran; });
    EXPECT_TRUE(loop.runUntil([&] { return ran == 2; }));
    EXPECT_EQ(ran, 2);
    loop.runUntilIdle();
    EXPECT_EQ(ran, 5);
}

TEST(MainLoopBackground, ResultComesBackOnTheLoopThread) {
    MainLoop loop;
    std::thread::id workThread;
    bool doneOnLoop = false;
    bool delivered = false;
    std::exception_ptr error = std::make_exception_ptr(1);
    loop.runInBackground([&] { workThread = std::this_thread::get_id(); },
                         [&](std::exception_ptr e) {
                             doneOnLoop = loop.isMainThread();
                             error = e;
                             delivered = true;
                         });
    loop.runUntilIdle();
    ASSERT_TRUE(delivered);
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_TRUE(doneOnLoop);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(loop.pendingBackgroundWork(), 0u);
}

TEST(MainLoopBackground, ExceptionsAreCarriedWithTheirType) {
    MainLoop loop;
    std::vector<std::exception_ptr> errors;
    loop.runInBackground([] { throw std::runtime_error("sin espacio"); },
                         [&](std::exception_ptr e) { errors.push_back(e); });
    loop.runInBackground([] { throw CancellationError(); },
                         [&](std::exception_ptr e) { errors.push_back(e); });
    loop.runUntilIdle();
    ASSERT_EQ(errors.size(), 2u);
    int runtimeErrors = 0;
    int cancellations = 0;
    for (const auto& e : errors) {
        try {
            std::rethrow_exception(e);
        } catch (const CancellationError&) {
            ++cancellations;
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "sin espacio");
            ++runtimeErrors;
        }
    }
    EXPECT_EQ(runtimeErrors, 1);
    EXPECT_EQ(cancellations, 1);
}

TEST(MainLoopBackground, RunUntilIdleWaitsForWorkStillRunning) {
    MainLoop loop;
    std::atomic<bool> release{false};
    bool delivered = false;
    loop.runInBackground(
        [&] {
            while (!release)
                std::this_thread::sleep_for(1ms);
        },
        [&](std::exception_ptr) { delivered = true; });
    EXPECT_EQ(loop.pendingBackgroundWork(), 1u);
    loop.scheduleAfter(20ms, [&] { release = true; });
    loop.runUntilIdle();
    EXPECT_TRUE(delivered);
}

TEST(MainLoopBackground, DestructionWaitsForPendingWork) {
    std::atomic<bool> finished{false};
    bool delivered = false;
    {
        MainLoop loop;
        loop.runInBackground(
            [&] {
                std::this_thread::sleep_for(30ms);
                finished = true;
            },
            [&](std::exception_ptr) { delivered = true; });
    }
    EXPECT_TRUE(finished);
    EXPECT_FALSE(delivered); // a loop that no longer runs delivers nothing
}

TEST(MainLoopMain, IsOneLoopOwnedByItsFirstCaller) {
    MainLoop& first = MainLoop::main();
    EXPECT_EQ(&first, &MainLoop::main());
    EXPECT_TRUE(first.isMainThread());
    bool ran = false;
    first.post([&] { ran = true; });
    first.runUntilIdle();
    EXPECT_TRUE(ran);
}

} // namespace
} // namespace vexa
