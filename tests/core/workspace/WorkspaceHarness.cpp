#include "WorkspaceHarness.h"

#include <algorithm>

namespace vexa::testing {

DesktopIntegration privateDesktop(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    for (const char* folder : {"data/applications", "config", "config-dirs", "data-dirs"})
        fs::create_directories(root / folder);
    if (!fs::exists(root / "data-dirs/mime"))
        fs::create_directory_symlink("/usr/share/mime", root / "data-dirs/mime");
    DesktopIntegration desktop;
    desktop.environment = {
        {"XDG_DATA_HOME", (root / "data").string()},
        {"XDG_CONFIG_HOME", (root / "config").string()},
        {"XDG_CONFIG_DIRS", (root / "config-dirs").string()},
        {"XDG_DATA_DIRS", (root / "data-dirs").string()},
        // xdg-mime would hand the work to a desktop's own tool.
        {"XDG_CURRENT_DESKTOP", ""},
        {"KDE_FULL_SESSION", ""},
        {"GNOME_DESKTOP_SESSION_ID", ""},
        {"DESKTOP_SESSION", ""},
    };
    return desktop;
}

ArchiveSummary summaryOf(std::filesystem::path url, std::vector<ArchiveItem> entries) {
    ArchiveSummary summary;
    summary.url = std::move(url);
    summary.entries = std::move(entries);
    return summary;
}

WorkspaceHarness::WorkspaceHarness(std::map<std::string, std::string> environment)
    : settings(temporary / "settings.json"), desktop(privateDesktop(temporary / "xdg")) {
    // No desktop tool unless a test asks for one: start-up stays quick and reads nothing.
    desktop.xdgMime = temporary / "no-xdg-mime";
    for (auto& [name, value] : environment)
        desktop.environment[name] = value;
    restart();
}

void WorkspaceHarness::restart() {
    model_.reset();
    model_ = std::make_unique<WorkspaceModel>(loop, dialogs, settings, desktop);
    changes.clear();
    model_->observation().subscribe([this](WorkspaceField field) { changes.push_back(field); });
}

std::size_t WorkspaceHarness::changesOf(WorkspaceField field) const {
    return static_cast<std::size_t>(std::count(changes.begin(), changes.end(), field));
}

} // namespace vexa::testing
