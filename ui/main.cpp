// The terminal front-end: `vexa [archivo] [--comandos 'orden; orden…']`. Without commands it
// reads them from standard input (with a prompt when that is a terminal); dialogue answers are
// read from standard input too.
#include "core/workspace/WorkspaceModel.h"
#include "platform/MainLoop.h"
#include "platform/SettingsStore.h"
#include "ui/CommandWords.h"
#include "ui/InterruptSignal.h"
#include "ui/TerminalDialogs.h"
#include "ui/TerminalSession.h"

#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* usage = "Uso: vexa [archivo] [--comandos 'orden; orden…']\n";

} // namespace

int main(int argc, char** argv) {
    using namespace vexa;
    std::optional<std::string> archive;
    std::optional<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--comandos") == 0 && i + 1 < argc) {
            commands = argv[++i];
        } else if (std::strcmp(argv[i], "--ayuda") == 0) {
            std::cout << usage << TerminalSession::helpText();
            return 0;
        } else if (argv[i][0] != '-' && !archive) {
            archive = argv[i];
        } else {
            std::cerr << usage;
            return 2;
        }
    }

    const bool terminalInput = isatty(STDIN_FILENO) == 1;
    installInterruptHandler();
    MainLoop& loop = MainLoop::main();
    TerminalDialogs dialogs(std::cin, std::cout, terminalInput);
    WorkspaceModel model(loop, dialogs, SettingsStore::standard());
    TerminalSession session(model, dialogs, std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                            terminalInput && !commands);

    if (archive) {
        // As when the file manager hands the program a file.
        session.openTyped(*archive);
        session.waitUntilIdle();
    }
    if (commands) {
        for (const auto& command : splitCommands(*commands))
            if (!session.execute(command))
                break;
    } else {
        if (terminalInput)
            std::cout << "Vexa. Escribe «ayuda» para ver las órdenes.\n";
        session.runInteractive(terminalInput);
    }
    session.requestQuit();
    session.finish();
    return session.errorShown() ? 1 : 0;
}
