#pragma once

#include <cstddef>
#include <functional>
#include <mutex>

// The one place where this process decides how many threads compute at once. Its budget is the
// usable cores: the thread that asks for parallel work is one of them, and every helper it gets
// is borrowed from the budget until the helper's run returns. Work that runs inside a helper and
// asks for helpers of its own gets only what is left, so nested parallel work shares the cores
// instead of multiplying its threads; with nothing left, the asking thread does the work alone.
namespace vexa::platform {

class WorkerPool {
  public:
    // A budget of `cores` (at least 1), for tests; the process has its own, process().
    explicit WorkerPool(unsigned cores);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process's pool: usableCores() cores.
    static WorkerPool& process();

    unsigned cores() const { return cores_; }
    // Cores not lent out at the moment.
    unsigned idleCores() const;

    // Runs `work` on the calling thread and, at the same time, on as many helper threads as the
    // budget lends, up to `threads` runs in all; returns once every run has returned. Each run is
    // given its number (0 is the caller's). Runs must share out the work among themselves (for
    // example through an atomic index), since any number from 1 to `threads` may come. The first
    // failure thrown by a run is thrown here once all have ended.
    void run(std::size_t threads, const std::function<void(std::size_t run)>& work);

    // Whether the asking thread keeps computing beside the helpers it borrows, or only feeds and
    // waits for them, in which case its own core is lent with the others.
    enum class Asker { works, waits };

    // Cores held for threads that live longer than one call (a stage of a pipeline): given back
    // when the lease goes.
    class Lease {
      public:
        Lease() = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();
        unsigned count() const { return count_; }

      private:
        friend class WorkerPool;
        Lease(WorkerPool* pool, unsigned count) : pool_(pool), count_(count) {}
        WorkerPool* pool_ = nullptr;
        unsigned count_ = 0;
    };
    // Up to `wanted` cores, as many as are idle (maybe none).
    Lease borrow(std::size_t wanted, Asker asker = Asker::works);

  private:
    unsigned take(std::size_t wanted, Asker asker = Asker::works);
    void giveBack(unsigned count);

    const unsigned cores_;
    mutable std::mutex mutex_;
    unsigned lent_ = 0;
};

} // namespace vexa::platform
