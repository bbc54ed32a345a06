#pragma once

#include "core/workspace/WorkspaceModel.h"
#include "platform/Dialogs.h"
#include "platform/MainLoop.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestSupport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vexa::testing {

// Private XDG folders under `root` (data, config, config dirs; the shared MIME database is
// reached through a link), so the machine's own associations are never read or written.
DesktopIntegration privateDesktop(const std::filesystem::path& root);

ArchiveSummary summaryOf(std::filesystem::path url, std::vector<ArchiveItem> entries);

// A model on a loop of the test's thread, with its own settings file, scripted dialogues and
// private desktop folders; every change notification is collected in `changes`.
struct WorkspaceHarness {
    explicit WorkspaceHarness(std::map<std::string, std::string> environment = {});

    // A new model over the same settings and desktop folders (a second run of the program).
    void restart();
    WorkspaceModel& model() { return *model_; }
    std::size_t changesOf(WorkspaceField field) const;

    TemporaryDirectory temporary;
    MainLoop loop;
    ScriptedDialogs dialogs;
    SettingsStore settings;
    DesktopIntegration desktop;
    std::vector<WorkspaceField> changes;

  private:
    std::unique_ptr<WorkspaceModel> model_;
};

} // namespace vexa::testing
