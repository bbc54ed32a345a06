#include "platform/MainLoop.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace vexa {

namespace {

// A repeating timer is rescheduled after its job, so a zero interval would keep it due forever
// and starve the queued jobs.
constexpr MainLoop::Clock::duration minimumInterval = std::chrono::milliseconds(1);
constexpr MainLoop::Clock::duration waitSlice = std::chrono::milliseconds(10);

} // namespace

MainLoop::MainLoop() : thread_(std::this_thread::get_id()) {}

MainLoop::~MainLoop() {
    std::map<std::thread::id, std::thread> workers;
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return background_ == 0; });
        workers.swap(workers_);
    }
    for (auto& [id, worker] : workers)
        worker.join();
}

MainLoop& MainLoop::main() {
    static MainLoop loop;
    return loop;
}

bool MainLoop::isMainThread() const {
    return std::this_thread::get_id() == thread_;
}

void MainLoop::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

std::uint64_t MainLoop::scheduleRepeating(Clock::duration interval, Job job) {
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        timers_[id] = Timer{Clock::now(), std::max(interval, minimumInterval), true,
                            std::make_shared<Job>(std::move(job))};
    }
    wake_.notify_all();
    return id;
}

std::uint64_t MainLoop::scheduleAfter(Clock::duration delay, Job job) {
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = nextTimer_++;
        timers_[id] = Timer{Clock::now() + delay, Clock::duration::zero(), false,
                            std::make_shared<Job>(std::move(job))};
    }
    wake_.notify_all();
    return id;
}

void MainLoop::cancelTimer(std::uint64_t timer) {
    std::lock_guard lock(mutex_);
    timers_.erase(timer);
}

void MainLoop::runInBackground(Job work, std::function<void(std::exception_ptr)> done) {
    // The worker takes the lock for its last step, so creating it and recording it under the
    // same lock means a worker never reports itself finished before it is known.
    std::unique_lock lock(mutex_);
    ++background_;
    try {
        // Linux offers no cheap scheduling class between interactive and batch work; the
        // default class is what user-initiated means for this program.
        std::thread worker([this, work = std::move(work), done]() mutable {
            std::exception_ptr error;
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
            // What the work captured is released on its own thread, not on the loop's.
            work = nullptr;
            {
                std::lock_guard lock(mutex_);
                // Moved, not copied: the loop's job then holds the only reference, so the
                // failure is freed on the loop's thread after its last reader instead of by
                // whichever thread drops its count last.
                jobs_.push_back(
                    [done = std::move(done), error = std::move(error)] { done(error); });
                --background_;
                finishedWorkers_.push_back(std::this_thread::get_id());
            }
            // Safe after the unlock: the destructor joins this thread before `this` goes away.
            wake_.notify_all();
        });
        const auto id = worker.get_id();
        workers_.emplace(id, std::move(worker));
    } catch (const std::system_error&) {
        // No thread could be made: the caller still gets its one answer, on the loop.
        --background_;
        jobs_.push_back([done, error = std::current_exception()] { done(error); });
        lock.unlock();
        wake_.notify_all();
    }
}

void MainLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

void MainLoop::requireLoopThread(const char* call) const {
    if (!isMainThread())
        throw std::logic_error(std::string("MainLoop::") + call + " called off the loop's thread");
}

void MainLoop::joinFinishedWorkers() {
    std::vector<std::thread> finished;
    {
        std::lock_guard lock(mutex_);
        for (const auto& id : finishedWorkers_) {
            auto found = workers_.find(id);
            if (found != workers_.end()) {
                finished.push_back(std::move(found->second));
                workers_.erase(found);
            }
        }
        finishedWorkers_.clear();
    }
    // These threads have done their last step under the lock; joining them takes no time.
    for (auto& worker : finished)
        worker.join();
}

bool MainLoop::runOne(Clock::time_point deadline, bool honourStop) {
    joinFinishedWorkers();
    std::unique_lock lock(mutex_);
    for (;;) {
        if (honourStop && stopped_)
            return false;
        const auto now = Clock::now();
        auto next =
            std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
            });
        if (next != timers_.end() && next->second.due <= now) {
            const std::uint64_t id = next->first;
            const Timer timer = next->second;
            if (!timer.repeating)
                timers_.erase(next);
            lock.unlock();
            struct Reschedule {
                MainLoop& loop;
                std::uint64_t id;
                const Timer& timer;
                ~Reschedule() {
                    if (!timer.repeating)
                        return;
                    std::lock_guard lock(loop.mutex_);
                    // The job may have cancelled its own timer.
                    auto found = loop.timers_.find(id);
                    if (found != loop.timers_.end())
                        found->second.due = Clock::now() + timer.interval;
                }
            } reschedule{*this, id, timer};
            (*timer.job)();
            return true;
        }
        if (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            return true;
        }
        if (now >= deadline)
            return false;
        auto wakeAt = deadline;
        if (next != timers_.end())
            wakeAt = std::min(wakeAt, next->second.due);
        wake_.wait_until(lock, wakeAt);
    }
}

bool MainLoop::idle() const {
    return jobs_.empty() && background_ == 0 &&
           std::none_of(timers_.begin(), timers_.end(),
                        [](const auto& entry) { return !entry.second.repeating; });
}

void MainLoop::run() {
    requireLoopThread("run");
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) {
                stopped_ = false;
                return;
            }
        }
        runOne(Clock::now() + std::chrono::seconds(1), true);
    }
}

void MainLoop::runUntilIdle() {
    requireLoopThread("runUntilIdle");
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (idle())
                return;
        }
        runOne(Clock::now() + waitSlice, false);
    }
}

bool MainLoop::runUntil(const std::function<bool()>& condition, Clock::duration timeout) {
    requireLoopThread("runUntil");
    const auto deadline = Clock::now() + timeout;
    if (condition())
        return true;
    while (Clock::now() < deadline) {
        runOne(std::min(deadline, Clock::now() + waitSlice), false);
        if (condition())
            return true;
    }
    return condition();
}

std::size_t MainLoop::pendingBackgroundWork() const {
    std::lock_guard lock(mutex_);
    return background_;
}

} // namespace vexa
