#include "tests/ui/SessionHarness.h"

#include "ui/CommandWords.h"

namespace vexa::testing {

SessionHarness::SessionHarness() : settings(temporary / "settings.json") {
    DesktopIntegration desktop;
    // Start-up asks the desktop nothing and the machine's associations stay untouched.
    desktop.xdgMime = temporary / "no-xdg-mime";
    desktop.environment = {{"XDG_DATA_HOME", (temporary / "data").string()},
                           {"XDG_CONFIG_HOME", (temporary / "config").string()}};
    model = std::make_unique<WorkspaceModel>(loop, dialogs, settings, desktop);
    session =
        std::make_unique<TerminalSession>(*model, dialogs, output, output, progress, false, false);
    loop.runUntilIdle();
}

SessionHarness::~SessionHarness() {
    session->finish();
    session.reset();
    model.reset();
}

void SessionHarness::answers(const std::string& lines) {
    input.clear();
    input.str(lines);
}

std::string SessionHarness::run(const std::string& commands) {
    const auto before = output.str().size();
    for (const auto& command : splitCommands(commands))
        if (!session->execute(command))
            break;
    return output.str().substr(before);
}

} // namespace vexa::testing
