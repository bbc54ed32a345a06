#include "core/archive/WorkspacePage.h"

namespace vexa {

namespace {

const std::array<std::string, 4>& rawValues() {
    static const std::array<std::string, 4> values{"home", "create", "archive", "activity"};
    return values;
}

} // namespace

const std::string& rawValue(WorkspacePage page) {
    return rawValues()[static_cast<std::size_t>(page)];
}

std::optional<WorkspacePage> workspacePageFromRawValue(const std::string& raw) {
    for (WorkspacePage page : allWorkspacePages) {
        if (rawValue(page) == raw)
            return page;
    }
    return std::nullopt;
}

} // namespace vexa
