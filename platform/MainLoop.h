#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vexa {

// The main thread's loop: the workspace model lives on it, background results come back to it,
// and its timers drive the progress ticker. The thread that constructs the loop is its thread.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // The loop of the current process (made on first use by the calling thread).
    static MainLoop& main();

    bool isMainThread() const;

    // Queues a job; safe from any thread.
    void post(Job job);

    // A repeating timer whose first firing is at once; returns its identity for cancelTimer.
    std::uint64_t scheduleRepeating(Clock::duration interval, Job job);
    std::uint64_t scheduleAfter(Clock::duration delay, Job job);
    void cancelTimer(std::uint64_t timer);

    // Runs `work` on a background thread of user-initiated priority, then `done` on this loop
    // with the work's exception (null on success).
    void runInBackground(Job work, std::function<void(std::exception_ptr)> done);

    // Runs jobs and due timers on the calling (main) thread.
    // Until `stop` is called:
    void run();
    void stop();
    // Until no job is queued, no background work is pending and no one-shot timer is due;
    // repeating timers do not keep it running.
    void runUntilIdle();
    // Until `condition` holds (checked after every job) or the timeout passes; gives the
    // condition's last value.
    bool runUntil(const std::function<bool()>& condition,
                  Clock::duration timeout = std::chrono::seconds(30));

    std::size_t pendingBackgroundWork() const;

  private:
    struct Timer {
        Clock::time_point due;
        Clock::duration interval; // zero for one-shot
        Job job;
    };
    bool runOne(Clock::time_point deadline);

    std::thread::id thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Timer> timers_;
    std::uint64_t nextTimer_ = 1;
    std::size_t background_ = 0;
    bool stopped_ = false;
};

} // namespace vexa
