// The terminal front-end: `vexa [opciones] [--] [archivo]`. Without commands it reads them from
// standard input (with a prompt and line editing when that is a terminal); dialogue answers are
// read from standard input too. Results go to standard output; messages, questions, errors and
// progress to standard error.
#include "core/workspace/WorkspaceModel.h"
#include "platform/MainLoop.h"
#include "platform/Paths.h"
#include "platform/SettingsStore.h"
#include "platform/WorkFolders.h"
#include "ui/CommandWords.h"
#include "ui/InterruptSignal.h"
#include "ui/LineEditor.h"
#include "ui/Outcome.h"
#include "ui/TerminalDialogs.h"
#include "ui/TerminalSession.h"

#include <cstdio>
#include <getopt.h>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifndef VEXA_VERSION
#define VEXA_VERSION "desconocida"
#endif

namespace {

constexpr const char* usageLine = "Uso: vexa [-c 'orden; orden…'] [--] [archivo]\n";

constexpr const char* optionsHelp =
    "Gestor de archivos comprimidos: ZIP, RAR, 7z, TAR y archivos comprimidos sueltos.\n"
    "\n"
    "  -c, --comandos=ÓRDENES  ejecuta las órdenes (separadas por «;») sin línea de\n"
    "                          órdenes y termina; las respuestas a las preguntas se leen\n"
    "                          de la entrada estándar, una por línea; la primera orden que\n"
    "                          falla detiene el resto\n"
    "  -h, --help              muestra esta ayuda y termina\n"
    "  -V, --version           muestra la versión y termina\n"
    "  --                      lo que sigue es el archivo, aunque empiece por «-»\n"
    "\n"
    "Sin órdenes, las lee de la entrada estándar: con un indicador y edición de línea si es\n"
    "un terminal, o una por línea, deteniéndose en la primera que falla, si no lo es.\n"
    "Los resultados van a la salida estándar; los mensajes, los errores, las preguntas y el\n"
    "progreso, a la salida de errores.\n"
    "\n";

// Standard output that cannot be written (a full disk, /dev/full) is a failure, not silence.
int checkedOutput(int status) {
    std::cout.flush();
    if (std::cout.fail() || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::cerr << "vexa: no se pudo escribir la salida estándar.\n";
        return status == 0 ? static_cast<int>(vexa::Outcome::failed) : status;
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vexa;
    std::optional<std::string> commands;
    static const option longOptions[] = {
        {"comandos", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},
        {"ayuda", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int option = 0;
    while ((option = getopt_long(argc, argv, "c:hV", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'c':
            commands = optarg;
            break;
        case 'h':
            std::cout << usageLine << optionsHelp << TerminalSession::helpText()
                      << "\nLa página de manual, «man vexa», lo cuenta con más detalle.\n";
            return checkedOutput(0);
        case 'V':
            std::cout << "vexa " << VEXA_VERSION << "\n";
            return checkedOutput(0);
        default:
            std::cerr << "vexa: opción no válida: " << argv[optind - 1] << "\n"
                      << usageLine << "«vexa --help» muestra la ayuda.\n";
            return static_cast<int>(Outcome::usage);
        }
    }
    std::optional<std::string> archive;
    if (optind < argc)
        archive = argv[optind++];
    if (optind < argc) {
        std::cerr << "vexa: sobra «" << argv[optind] << "»: se abre un solo archivo.\n"
                  << usageLine;
        return static_cast<int>(Outcome::usage);
    }
    std::vector<std::string> script;
    if (commands) {
        try {
            script = splitCommands(*commands);
        } catch (const QuotingError& error) {
            std::cerr << "vexa: " << error.what() << "\n";
            return static_cast<int>(Outcome::usage);
        }
    }

    const bool terminalInput = isatty(STDIN_FILENO) == 1;
    const bool scripted = commands || !terminalInput;
    installInterruptHandler(scripted);
    // What killed runs left in the temporary folder (previews, links for rar) goes now, beside
    // the first commands, since a crowded temporary folder takes a while to read. A folder this
    // run makes meanwhile is either held already, and left alone, or made again (as when another
    // run sweeps). The sweep ends before the program does.
    std::jthread sweep;
    try {
        sweep = std::jthread([] { files::sweepLeftovers(paths::temporaryDirectory()); });
    } catch (const std::system_error&) {
        files::sweepLeftovers(paths::temporaryDirectory());
    }
    MainLoop& loop = MainLoop::main();
    // Questions go where messages go, so that a script's redirected results never hide them.
    TerminalDialogs dialogs(std::cin, std::cerr, terminalInput);
    // Line editing needs the terminal on both sides; a transcript or a pipe reads plain lines.
    std::optional<LineEditor> editor;
    if (terminalInput && isatty(STDERR_FILENO) == 1) {
        editor.emplace(LineEditor::standardHistoryFile());
        dialogs.useEditor(&*editor);
    }
    WorkspaceModel model(loop, dialogs, SettingsStore::standard());
    TerminalSession session(model, dialogs, std::cout, std::cerr, std::cerr,
                            isatty(STDERR_FILENO) == 1 && !ProgressDisplay::dumbTerminal(),
                            terminalInput && !commands);

    session.setOutputOnTerminal(isatty(STDOUT_FILENO) == 1);
    if (editor)
        editor->setArchiveFolders(
            [&session](const std::string& typed) { return session.foldersInside(typed); });
    int status = 0;
    if (archive) {
        // As when the file manager hands the program a file.
        session.execute("abrir " + shellQuoted(*archive));
        status = static_cast<int>(session.lastOutcome());
    }
    if (status == 0 || !scripted) {
        if (commands) {
            status = session.runScript(script);
        } else {
            if (terminalInput)
                std::cerr << "Vexa. Escribe «ayuda» para ver las órdenes.\n";
            const int ran = session.runInteractive(terminalInput);
            status = terminalInput ? 0 : ran;
        }
    }
    // A signal ends the run with its own status only when it stopped something: a signal that
    // came once the run was over, or whose operation was already in place, changes nothing, so
    // a script that retries on that status never does the work twice.
    const int signal = terminationSignal();
    session.requestQuit();
    session.finish(scripted);
    if (signal != 0 && !session.succeededUnderSignal())
        status = signalExitStatus(signal);
    return checkedOutput(status);
}
