#pragma once

#include "core/workspace/WorkspaceModel.h"
#include "platform/MainLoop.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestSupport.h"
#include "ui/TerminalDialogs.h"
#include "ui/TerminalSession.h"

#include <memory>
#include <sstream>
#include <string>

namespace vexa::testing {

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A terminal session on a loop of the test's thread, with its own settings file and no desktop
// tool; dialogue answers come from `answers` lines, and what the session prints is collected.
struct SessionHarness {
    SessionHarness();
    ~SessionHarness();

    // The lines the next dialogues read (each ends with a line feed).
    void answers(const std::string& lines);
    // Runs "a; b; c" as the command line option does; gives what was printed meanwhile.
    std::string run(const std::string& commands);

    TemporaryDirectory temporary;
    MainLoop loop;
    std::istringstream input;
    std::ostringstream output;
    std::ostringstream progress;
    TerminalDialogs dialogs{input, output, false};
    SettingsStore settings;
    std::unique_ptr<WorkspaceModel> model;
    std::unique_ptr<TerminalSession> session;
};

} // namespace vexa::testing
