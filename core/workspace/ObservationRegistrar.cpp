#include "core/workspace/ObservationRegistrar.h"

#include <vector>

namespace vexa {

ObservationRegistrar::Token ObservationRegistrar::subscribe(Observer observer) {
    const Token token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void ObservationRegistrar::unsubscribe(Token token) {
    observers_.erase(token);
}

void ObservationRegistrar::access(WorkspaceField field) const {
    if (tracking_)
        tracking_->insert(field);
}

std::set<WorkspaceField> ObservationRegistrar::track(const std::function<void()>& body) const {
    std::set<WorkspaceField> reads;
    std::set<WorkspaceField>* outer = tracking_;
    tracking_ = &reads;
    try {
        body();
    } catch (...) {
        tracking_ = outer;
        throw;
    }
    tracking_ = outer;
    // An enclosing track depends on everything the inner one read.
    if (outer)
        outer->insert(reads.begin(), reads.end());
    return reads;
}

void ObservationRegistrar::didChange(WorkspaceField field) {
    std::vector<Token> tokens;
    tokens.reserve(observers_.size());
    for (const auto& entry : observers_)
        tokens.push_back(entry.first);
    for (Token token : tokens) {
        // A copy: the observer may unsubscribe itself while it runs.
        auto found = observers_.find(token);
        if (found == observers_.end())
            continue;
        Observer observer = found->second;
        observer(field);
    }
}

} // namespace vexa
