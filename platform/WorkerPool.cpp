#include "platform/WorkerPool.h"

#include "platform/Processors.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>
#include <thread>
#include <vector>

namespace vexa::platform {

WorkerPool::WorkerPool(unsigned cores) : cores_(std::max(cores, 1u)) {}

WorkerPool& WorkerPool::process() {
    static WorkerPool pool(usableCores());
    return pool;
}

unsigned WorkerPool::idleCores() const {
    std::lock_guard lock(mutex_);
    // The asking thread is the one core that is never lent.
    return cores_ - 1 - lent_;
}

unsigned WorkerPool::take(std::size_t wanted) {
    std::lock_guard lock(mutex_);
    const auto count = static_cast<unsigned>(std::min<std::size_t>(wanted, cores_ - 1 - lent_));
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

WorkerPool::Lease WorkerPool::borrow(std::size_t wanted) {
    return Lease(this, take(wanted));
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
