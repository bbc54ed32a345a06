#pragma once

#include <array>
#include <optional>
#include <string>

namespace vexa {

enum class WorkspacePage { home, create, archive, activity };

inline constexpr std::array<WorkspacePage, 4> allWorkspacePages = {
    WorkspacePage::home, WorkspacePage::create, WorkspacePage::archive, WorkspacePage::activity};

const std::string& rawValue(WorkspacePage page);
std::optional<WorkspacePage> workspacePageFromRawValue(const std::string& raw);

} // namespace vexa
