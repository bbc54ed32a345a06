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
#include <vector>

namespace vexa {

// The main thread's loop: the workspace model lives on it, background results come back to it,
// and its timers drive the progress ticker. The thread that constructs the loop is its thread.
// An exception thrown by a job or timer leaves the run call that ran it.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    MainLoop();
    // Waits for every background task still running; their results are dropped undelivered.
    // Work that itself waits for this loop must not be pending then.
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // The loop of the current process (made on first use by the calling thread).
    static MainLoop& main();

    bool isMainThread() const;

    // Queues a job; safe from any thread.
    void post(Job job);

    // A repeating timer whose first firing is at once; each later firing comes `interval` after
    // the previous one ended. Returns its identity for cancelTimer.
    std::uint64_t scheduleRepeating(Clock::duration interval, Job job);
    std::uint64_t scheduleAfter(Clock::duration delay, Job job);
    // Safe from any thread and from inside the timer's own job; an unknown identity is ignored.
    void cancelTimer(std::uint64_t timer);

    // Runs `work` on a background thread of user-initiated priority, then `done` on this loop
    // with the work's exception (null on success). Safe from any thread.
    void runInBackground(Job work, std::function<void(std::exception_ptr)> done);

    // Runs jobs and due timers on the loop's thread; called from another thread they throw
    // std::logic_error.
    // Until `stop` is called (a stop that comes before run makes the next run return at once):
    void run();
    void stop();
    // Until no job is queued, no background work is pending and no one-shot timer is
    // scheduled; repeating timers do not keep it running (they fire while it runs).
    void runUntilIdle();
    // Until `condition` holds (checked before the first job, after every job and at least
    // every 10 ms) or the timeout passes; gives the condition's last value.
    bool runUntil(const std::function<bool()>& condition,
                  Clock::duration timeout = std::chrono::seconds(30));

    std::size_t pendingBackgroundWork() const;

  private:
    struct Timer {
        Clock::time_point due;
        Clock::duration interval;
        bool repeating = false;
        std::shared_ptr<Job> job;
    };
    // Runs one due timer or queued job, waiting for one until `deadline` (or, with
    // `honourStop`, until stop); false when none ran.
    bool runOne(Clock::time_point deadline, bool honourStop);
    bool idle() const; // needs mutex_
    void requireLoopThread(const char* call) const;
    void joinFinishedWorkers();

    std::thread::id thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::map<std::uint64_t, Timer> timers_;
    std::uint64_t nextTimer_ = 1;
    std::size_t background_ = 0;
    std::map<std::thread::id, std::thread> workers_;
    std::vector<std::thread::id> finishedWorkers_;
    bool stopped_ = false;
};

} // namespace vexa
