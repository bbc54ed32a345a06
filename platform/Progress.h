#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vexa {

// The one progress and cancellation channel between the workspace model and the engines.
// Shared between the main thread and one background task: every member is thread-safe.
class Progress {
  public:
    explicit Progress(std::int64_t totalUnitCount = 0);
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = 0);

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t units);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t units);
    void addCompletedUnits(std::int64_t units);

    // Completed share in [0, 1], counting each child's fraction for its pending units.
    // A total of 0 gives 0.
    double fractionCompleted() const;

    // Cancelling reaches every child added before or after.
    void cancel();
    bool isCancelled() const;
    // Throws CancellationError when cancelled.
    void throwIfCancelled() const;

    // The child's fraction counts for `pendingUnits` of this object's units; once the child
    // completes, those units are added to this object's completed count.
    void addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnits);

  private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnits;
    };
    std::atomic<std::int64_t> total_;
    std::atomic<std::int64_t> completed_{0};
    std::atomic<bool> cancelled_{false};
    mutable std::mutex childrenMutex_;
    std::vector<Child> children_;
};

} // namespace vexa
