#include "platform/WorkerPool.h"

#include "platform/Processors.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vexa::platform {

WorkerPool::WorkerPool(unsigned cores) : cores_(std::max(cores, 1u)) {}

WorkerPool& WorkerPool::process() {
    static WorkerPool pool(usableCores());
    return pool;
}

unsigned WorkerPool::idleCores() const {
    std::lock_guard lock(mutex_);
    // The asking thread is the one core that is never lent, unless it only waits.
    return lent_ < cores_ ? cores_ - 1 - lent_ : 0;
}

unsigned WorkerPool::take(std::size_t wanted, Asker asker) {
    std::lock_guard lock(mutex_);
    // An asker that waits hands its own core over: the one never lent, or the one it was lent as
    // a helper, which stays counted while the stage runs on it.
    const unsigned idle = lent_ < cores_ ? cores_ - lent_ : 0;
    const unsigned lendable = asker == Asker::waits ? idle : (idle > 0 ? idle - 1 : 0);
    const auto count = static_cast<unsigned>(std::min<std::size_t>(wanted, lendable));
    lent_ += count;
    return count;
}

void WorkerPool::giveBack(unsigned count) {
    std::lock_guard lock(mutex_);
    lent_ -= count;
}

void WorkerPool::run(std::size_t threads, const std::function<void(std::size_t)>& work) {
    const unsigned helpers = threads > 1 ? take(threads - 1) : 0;
    std::mutex failureMutex;
    std::exception_ptr failure;
    const auto guarded = [&](std::size_t number) {
        try {
            work(number);
        } catch (...) {
            std::lock_guard lock(failureMutex);
            if (!failure)
                failure = std::current_exception();
        }
    };
    {
        // Joined before anything they use goes, however this scope is left.
        std::vector<std::jthread> started;
        started.reserve(helpers);
        unsigned unstarted = helpers;
        try {
            for (unsigned i = 1; i <= helpers; ++i) {
                started.emplace_back([this, &guarded, i] {
                    guarded(i);
                    // Lent back as soon as this run is over, for work still asking.
                    giveBack(1);
                });
                --unstarted;
            }
        } catch (const std::system_error&) {
            // The runs that did start, and this thread, do the share of the others.
        }
        giveBack(unstarted);
        guarded(0);
    }
    if (failure)
        std::rethrow_exception(failure);
}

WorkerPool::Lease WorkerPool::borrow(std::size_t wanted, Asker asker) {
    return Lease(this, take(wanted, asker));
}

WorkerPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), count_(std::exchange(other.count_, 0)) {}

WorkerPool::Lease& WorkerPool::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        if (pool_ && count_ > 0)
            pool_->giveBack(count_);
        pool_ = std::exchange(other.pool_, nullptr);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

WorkerPool::Lease::~Lease() {
    if (pool_ && count_ > 0)
        pool_->giveBack(count_);
}

} // namespace vexa::platform
