#include "platform/Progress.h"

#include "platform/PlatformError.h"

#include <algorithm>
#include <stdexcept>

namespace vexa {

Progress::Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
    return std::make_shared<Progress>(totalUnitCount);
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(std::int64_t units) {
    std::lock_guard lock(mutex_);
    total_ = units;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    absorbFinishedChildren();
    return completed_;
}

template <typename Change> void Progress::report(Change&& change) {
    if (!observer_) {
        change();
        return;
    }
    // Parallel workers report at once: their counts reach the observer one at a time and in
    // the order they were made. Only an observed object pays for it.
    std::lock_guard observing(observerMutex_);
    observer_(change());
}

void Progress::setCompletedUnitCount(std::int64_t units) {
    report([&] {
        std::lock_guard lock(mutex_);
        // Children that finished before this call are part of the count being replaced.
        absorbFinishedChildren();
        completed_ = units;
        return units;
    });
}

void Progress::addCompletedUnits(std::int64_t units) {
    report([&] {
        std::lock_guard lock(mutex_);
        absorbFinishedChildren();
        return completed_ += units;
    });
}

void Progress::setCompletionObserver(std::function<void(std::int64_t)> observer) {
    observer_ = std::move(observer);
}

double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    absorbFinishedChildren();
    if (total_ <= 0)
        return 0.0;
    double done = static_cast<double>(completed_);
    for (const Child& child : children_)
        done += child.progress->fractionCompleted() * static_cast<double>(child.pendingUnits);
    return std::clamp(done / static_cast<double>(total_), 0.0, 1.0);
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    absorbFinishedChildren();
    return total_ > 0 && completed_ >= total_;
}

void Progress::cancel() {
    cancelled_.store(true);
    std::vector<std::shared_ptr<Progress>> children;
    {
        std::lock_guard lock(mutex_);
        for (const Child& child : children_)
            children.push_back(child.progress);
    }
    // Outside the lock: a child never locks its parent, but keeping the locks short keeps the
    // engine's own updates of this object from waiting on a whole subtree.
    for (const auto& child : children)
        child->cancel();
}

bool Progress::isCancelled() const {
    return cancelled_.load();
}

void Progress::throwIfCancelled() const {
    if (isCancelled())
        throw CancellationError();
}

void Progress::addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnits) {
    if (!child)
        throw std::logic_error("Progress::addChild: no child");
    // A cycle would make every fraction recurse forever.
    if (child->reaches(this))
        throw std::logic_error("Progress::addChild: the child contains its parent");
    {
        std::lock_guard lock(mutex_);
        children_.push_back({child, std::max<std::int64_t>(pendingUnits, 0)});
    }
    // Checked after the child is in the list: a cancel that ran before the push is seen here,
    // one that runs after it finds the child in the list.
    if (isCancelled())
        child->cancel();
}

void Progress::setAdditionalDescription(std::string text) {
    std::lock_guard lock(mutex_);
    description_ = std::move(text);
}

std::string Progress::additionalDescription() const {
    std::vector<std::shared_ptr<Progress>> children;
    {
        std::lock_guard lock(mutex_);
        if (!description_.empty())
            return description_;
        for (const Child& child : children_)
            children.push_back(child.progress);
    }
    for (const auto& child : children)
        if (std::string text = child->additionalDescription(); !text.empty())
            return text;
    return {};
}

void Progress::absorbFinishedChildren() const {
    auto finished = [this](const Child& child) {
        if (!child.progress->isFinished())
            return false;
        completed_ += child.pendingUnits;
        return true;
    };
    children_.erase(std::remove_if(children_.begin(), children_.end(), finished), children_.end());
}

bool Progress::reaches(const Progress* other) const {
    if (this == other)
        return true;
    std::lock_guard lock(mutex_);
    return std::any_of(children_.begin(), children_.end(),
                       [other](const Child& child) { return child.progress->reaches(other); });
}

} // namespace vexa
