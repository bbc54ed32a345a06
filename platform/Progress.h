#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexa {

// The one progress and cancellation channel between the workspace model and the engines.
// Shared between the main thread and one background task: every member is thread-safe.
class Progress {
  public:
    explicit Progress(std::int64_t totalUnitCount = 0);
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = 0);

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t units);
    // Includes the pending units of every child that has completed.
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t units);
    void addCompletedUnits(std::int64_t units);

    // Completed share in [0, 1], counting each child's fraction for its pending units.
    // A total of 0 or less gives 0.
    double fractionCompleted() const;
    // True once the total is positive and the completed count has reached it.
    bool isFinished() const;

    // Cancelling reaches every child added before or after.
    void cancel();
    bool isCancelled() const;
    // Throws CancellationError when cancelled.
    void throwIfCancelled() const;

    // The child's fraction counts for `pendingUnits` of this object's units; once the child
    // completes, those units are added to this object's completed count. A child belongs to
    // one parent; adding an object to itself or to one of its own children is a logic_error.
    void addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnits);

    // What the work is doing when the fraction alone does not say it (waiting for another
    // program, say); empty otherwise. Read from the object or from any of its parents.
    void setAdditionalDescription(std::string text);
    std::string additionalDescription() const;

    // Called on the reporting thread, outside the counting lock, after each change of this
    // object's own completed count, with the new count; calls from several threads come one at
    // a time, in the order of their counts. Set it before the object is shared; it lets a test
    // cancel at an exact point of the work instead of racing it from another thread. It must
    // not change the completed count itself.
    void setCompletionObserver(std::function<void(std::int64_t completed)> observer);

  private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnits;
    };
    // Moves the pending units of completed children into completed_; needs mutex_.
    void absorbFinishedChildren() const;
    bool reaches(const Progress* other) const;
    // Runs `change` (which answers the new count) and tells the observer, if there is one.
    template <typename Change> void report(Change&& change);

    mutable std::mutex mutex_;
    std::int64_t total_;
    mutable std::int64_t completed_ = 0;
    mutable std::vector<Child> children_;
    std::atomic<bool> cancelled_{false};
    std::string description_;
    std::function<void(std::int64_t)> observer_;
    std::mutex observerMutex_;
};

} // namespace vexa
