#pragma once

#include "core/workspace/WorkspaceField.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>

namespace vexa {

// Change tracking of the model's observed fields. Main thread only, like the model.
class ObservationRegistrar {
  public:
    using Observer = std::function<void(WorkspaceField)>;
    using Token = std::uint64_t;

    Token subscribe(Observer observer);
    void unsubscribe(Token token);

    // Getters report their reads here, so that `track` can tell what a computation depends on.
    void access(WorkspaceField field) const;
    // Runs `body` and gives the observed fields it read.
    std::set<WorkspaceField> track(const std::function<void()>& body) const;

    // Tells every observer, after the new value is stored. Observers may subscribe or
    // unsubscribe while being told; the change reaches those subscribed when it began.
    void didChange(WorkspaceField field);

  private:
    std::map<Token, Observer> observers_;
    Token nextToken_ = 1;
    mutable std::set<WorkspaceField>* tracking_ = nullptr;
};

} // namespace vexa
