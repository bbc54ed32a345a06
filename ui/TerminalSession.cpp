#include "ui/TerminalSession.h"

#include "core/archive/WorkspacePage.h"
#include "platform/Paths.h"
#include "ui/CommandHelp.h"
#include "ui/CommandWords.h"
#include "ui/DesktopOpener.h"
#include "ui/InterruptSignal.h"
#include "ui/SafeText.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <poll.h>
#include <unistd.h>

namespace vexa {

namespace {

using namespace std::chrono_literals;

constexpr auto pollInterval = 50ms;
// The quit guard waits for the cancelled operation without a time limit.
constexpr auto forever = std::chrono::hours(24 * 365);

// The name a row shows in the folder view: its path below the current folder.
std::string shownName(const ArchiveItem& row, const std::string& folder, bool searching) {
    if (searching || !row.path.starts_with(folder))
        return row.path;
    return row.path.substr(folder.size());
}

// "1 elemento", "2 elementos": the noun agrees with its count.
std::string counted(std::size_t count, const std::string& singular, const std::string& plural) {
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

bool standardInputReady() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return ::poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP)) != 0;
}

} // namespace

TerminalSession::TerminalSession(WorkspaceModel& model, TerminalDialogs& dialogs, std::ostream& out,
                                 std::ostream& messages, std::ostream& progress,
                                 bool progressOnTerminal, bool watchInput)
    : model_(model), dialogs_(dialogs), out_(out), messages_(messages),
      progress_(model, progress, progressOnTerminal), watchInput_(watchInput) {
    token_ = model_.observation().subscribe([this](WorkspaceField field) { observe(field); });
    pollTimer_ = model_.loop().scheduleRepeating(pollInterval, [this] { poll(); });
}

TerminalSession::~TerminalSession() {
    model_.loop().cancelTimer(pollTimer_);
    model_.observation().unsubscribe(token_);
}

std::string TerminalSession::helpText() {
    return fullHelp();
}

void TerminalSession::observe(WorkspaceField field) {
    switch (field) {
    case WorkspaceField::isBusy:
        // A Ctrl-C typed at a dialogue before the operation began must not cancel it.
        if (model_.isBusy())
            takeInterrupt();
        break;
    case WorkspaceField::records:
        if (!model_.records().empty() && !model_.records().front().succeeded &&
            model_.records().front().detail == WorkspaceModel::cancellationMessage())
            settle(Outcome::cancelled);
        if (!model_.records().empty() && model_.records().front().succeeded &&
            terminationSignal() != 0)
            succeededUnderSignal_ = true;
        break;
    case WorkspaceField::statusMessage:
        if (model_.statusMessage()) {
            progress_.clear();
            messages_ << printable(*model_.statusMessage(), true) << "\n" << std::flush;
        }
        break;
    case WorkspaceField::lastOutput:
        if (model_.lastOutput()) {
            progress_.clear();
            out_ << "Resultado: " << printable(model_.lastOutput()->string()) << "\n" << std::flush;
        }
        break;
    case WorkspaceField::previewURL:
        if (model_.previewURL()) {
            progress_.clear();
            messages_ << "Vista previa: " << printable(model_.previewURL()->string()) << "\n"
                      << std::flush;
            // Shown once the operation has ended and its messages are out.
            std::weak_ptr<int> alive = lifetime_;
            model_.loop().post([this, alive, file = *model_.previewURL()] {
                if (!alive.expired() && model_.previewURL() == file)
                    showPreview(file);
            });
        }
        break;
    case WorkspaceField::archive:
        // An edit lists the same archive again and its status message reports it; an opening
        // is reported even when it opens the archive shown.
        if (const auto& archive = model_.archive();
            archive &&
            (archive->url != shownArchive_ || model_.operationTitle().starts_with("Abriendo "))) {
            shownArchive_ = archive->url;
            progress_.clear();
            out_ << "Abierto: " << printable(paths::lastPathComponent(archive->url)) << " ("
                 << archive->kindLabel() << ", "
                 << counted(archive->entries.size(), "elemento", "elementos") << ")\n"
                 << std::flush;
        }
        break;
    default:
        break;
    }
}

void TerminalSession::poll() {
    // SIGTERM and SIGHUP cancel as Ctrl-C does; the program ends once the model is idle.
    // An interrupt while idle is left for the line editor, where it clears the line.
    if (model_.isBusy() && (takeInterrupt() || terminationSignal() != 0) && !model_.isCancelling())
        model_.cancelOperation();
    progress_.refresh(); // follows the terminal's width and the time left
    if (!watchInput_ || !model_.isBusy() || quitting_ || terminationSignal() != 0 ||
        !standardInputReady())
        return;
    const auto read = dialogs_.read("");
    if (read.end == LineEnd::interrupted) {
        if (model_.isBusy() && !model_.isCancelling())
            model_.cancelOperation();
        return;
    }
    if (read.end == LineEnd::endOfInput) {
        // A closed pipe brings nothing more; Ctrl-D at the terminal only ends this line.
        if (!dialogs_.editing())
            watchInput_ = false;
        return;
    }
    const auto line = std::optional<std::string>(read.text);
    std::vector<std::string> words;
    try {
        words = splitWords(*line);
    } catch (const QuotingError&) {
    }
    if (words.empty())
        return;
    if (words[0] != "salir") {
        progress_.clear();
        messages_ << "Hay una operación en curso; Ctrl-C la cancela.\n" << std::flush;
    } else if (askToCancelAndQuit()) {
        // The command's own wait then runs until the cancelled operation has ended.
        quitting_ = true;
    }
}

bool TerminalSession::askToCancelAndQuit() {
    AlertRequest alert;
    alert.messageText = "Hay una operación en curso";
    alert.warningStyle = true;
    alert.buttons = {"Cancelar y salir", "Continuar"};
    progress_.clear();
    if (dialogs_.runAlert(alert).button != 1000)
        return false;
    model_.cancelOperation();
    return true;
}

bool TerminalSession::dispatch(const std::string& command) {
    const auto words = splitWords(command);
    if (words.empty())
        return true;
    // A Ctrl-C typed at the prompt must not cancel the operation this command begins.
    takeInterrupt();
    const std::string name = plainWord(words[0]);
    const std::size_t arguments = words.size() - 1;
    // The one argument of a command that takes at most one (a name with spaces is quoted).
    const std::string argument = arguments >= 1 ? words[1] : std::string();
    const auto atMost = [&](std::size_t count, const char* form) {
        if (arguments <= count)
            return true;
        usage(std::string("Uso: ") + form +
              " (una ruta o un texto con espacios va entre comillas)");
        return false;
    };

    if (name == "salir")
        return false;
    if (name == "ayuda") {
        if (arguments == 0) {
            out_ << helpText();
        } else if (const auto help = commandHelp(argument)) {
            out_ << *help;
        } else {
            usage("No hay ninguna orden «" + argument + "». Escribe «ayuda» para verlas todas.");
        }
    } else if (name == "abrir") {
        if (!atMost(1, "abrir [ruta]"))
            return true;
        if (arguments == 0)
            model_.chooseArchiveToOpen();
        else
            openTyped(argument);
    } else if (name == "ls") {
        if (atMost(0, "ls") && requireArchive())
            printRows();
    } else if (name == "cd") {
        if (atMost(1, "cd [ruta|n]"))
            changeFolder(argument);
    } else if (name == "buscar") {
        if (atMost(1, "buscar [texto]") && requireArchive()) {
            model_.setSearch(argument);
            printRows();
        }
    } else if (name == "seleccionar") {
        if (!requireArchive())
            return true;
        if (const auto rows = rowsNamed({words.begin() + 1, words.end()})) {
            std::set<std::string> selection;
            for (const auto& row : *rows)
                selection.insert(row.path);
            model_.setSelection(std::move(selection));
            messages_ << counted(model_.selection().size(), "elemento seleccionado",
                                 "elementos seleccionados")
                      << "\n";
        }
    } else if (name == "extraer") {
        if (atMost(0, "extraer") && requireArchive()) {
            progress_.setWorkBytes(entryBytes(false));
            model_.extractEntries(false);
        }
    } else if (name == "extraer-seleccion") {
        if (!atMost(0, "extraer-seleccion") || !requireArchive())
            return true;
        if (model_.selection().empty()) {
            usage("No hay nada seleccionado: elige filas con «seleccionar n…».");
        } else {
            progress_.setWorkBytes(entryBytes(true));
            model_.extractEntries(true);
        }
    } else if (name == "inspector") {
        inspector(words);
    } else if (name == "vista-previa") {
        if (arguments != 1) {
            usage("Uso: vista-previa n");
        } else if (!requireArchive()) {
        } else if (const auto rows = rowsNamed({words[1]}); rows && rows->front().isDirectory) {
            usage("Es una carpeta; «cd " + words[1] + "» entra en ella.");
        } else if (rows) {
            // Opening a file row makes it the whole selection and previews it.
            model_.setSelection({rows->front().path});
            model_.previewEntry();
        }
    } else if (name == "cerrar-vista-previa") {
        if (!model_.previewURL())
            usage("No hay ninguna vista previa abierta.");
        model_.clearPreview();
    } else if (name == "arrastrar") {
        if (words.size() < 3) {
            usage("Uso: arrastrar n… carpeta");
        } else if (!requireArchive()) {
        } else if (const auto rows = rowsNamed({words.begin() + 1, words.end() - 1})) {
            const auto folder = TerminalDialogs::locationFromTyped(words.back());
            std::error_code error;
            if (!std::filesystem::is_directory(folder, error))
                usage("No es una carpeta: " + folder.string());
            else
                dragOut(*rows, folder);
        }
    } else if (name == "soltar") {
        std::vector<Path> locations;
        for (std::size_t i = 1; i < words.size(); ++i)
            locations.push_back(TerminalDialogs::locationFromTyped(words[i]));
        if (!locations.empty() && addsToOpenArchive())
            // The entry table takes drops on the archive page: into the folder shown.
            model_.addFiles(locations, model_.folder());
        else if (locations.empty() || !model_.handleDroppedURLs(locations))
            usage("No se aceptó lo soltado.");
        else if (model_.page() == WorkspacePage::create)
            printCreationSettings();
    } else if (name == "abrir-resultado") {
        openLastOutput();
    } else if (name == "recientes") {
        printRecents();
    } else if (name == "reciente") {
        const auto number = arguments == 1 ? parseNumber(words[1]) : std::nullopt;
        if (!number || *number < 1 ||
            *number > static_cast<std::int64_t>(model_.recents().size())) {
            usage("Uso: reciente n (n entre 1 y " + std::to_string(model_.recents().size()) + ")");
        } else if (const auto location = model_.resolveRecent(
                       model_.recents()[static_cast<std::size_t>(*number - 1)])) {
            model_.openArchive(location->archive, location->folder);
        }
    } else if (name == "actividad") {
        printRecords();
    } else if (name == "predeterminado") {
        auto finished = std::make_shared<bool>(false);
        model_.registerAsDefaultApp([finished] { *finished = true; });
        model_.loop().runUntil([finished] { return *finished; }, forever);
    } else if (!dispatchEditing(name, words) && !dispatchCreation(name, words)) {
        usage("Orden desconocida: " + words[0] + ". Escribe «ayuda» para ver las órdenes.");
    }
    out_ << std::flush;
    return true;
}

bool TerminalSession::execute(const std::string& command) {
    outcome_ = Outcome::done;
    progress_.setWorkBytes(std::nullopt);
    const auto cancelledBefore = dialogs_.cancelledQuestions();
    bool goOn = true;
    try {
        goOn = dispatch(command);
    } catch (const QuotingError& error) {
        usage(error.what());
    } catch (...) {
        // A failure outside any operation (an unreadable folder, say) ends this command only.
        showError(WorkspaceModel::localizedDescription(std::current_exception()));
    }
    waitUntilIdle();
    if (dialogs_.cancelledQuestions() != cancelledBefore)
        settle(Outcome::cancelled);
    return goOn && !quitting_;
}

int TerminalSession::runScript(const std::vector<std::string>& commands) {
    for (const auto& command : commands) {
        const bool goOn = execute(command);
        if (terminationSignal() != 0)
            break;
        if (outcome_ != Outcome::done)
            return static_cast<int>(outcome_);
        if (!goOn)
            break;
    }
    return 0;
}

void TerminalSession::usage(const std::string& text) {
    messages_ << text << "\n";
    settle(Outcome::usage);
}

void TerminalSession::settle(Outcome outcome) {
    if (outcome_ == Outcome::done)
        outcome_ = outcome;
}

bool TerminalSession::requireArchive() {
    if (model_.archive())
        return true;
    usage("No hay ningún archivo abierto.");
    return false;
}

std::string TerminalSession::prompt() const {
    switch (model_.page()) {
    case WorkspacePage::home:
        return "vexa (inicio)> ";
    case WorkspacePage::create:
        return "vexa (crear)> ";
    case WorkspacePage::activity:
        return "vexa (actividad)> ";
    case WorkspacePage::archive:
        break;
    }
    if (!model_.archive())
        return "vexa> ";
    return "vexa (" + paths::lastPathComponent(model_.archive()->url) + ":/" + model_.folder() +
           ")> ";
}

void TerminalSession::openTyped(const std::string& typed) {
    // A typed location stands for the open panel's choice, which always exists.
    const auto location = TerminalDialogs::locationFromTyped(typed);
    std::error_code error;
    if (!std::filesystem::exists(location, error)) {
        usage("No existe: " + printable(location.string()));
        return;
    }
    const auto size = std::filesystem::file_size(location, error);
    if (!error)
        progress_.setWorkBytes(static_cast<std::int64_t>(size));
    model_.openArchive(location);
}

std::optional<std::int64_t> TerminalSession::entryBytes(bool selectionOnly) const {
    if (!model_.archive())
        return std::nullopt;
    std::int64_t bytes = 0;
    for (const auto& entry : model_.archive()->entries) {
        bool chosen = !selectionOnly;
        for (auto it = model_.selection().begin(); !chosen && it != model_.selection().end(); ++it)
            chosen = entry.path == *it || (it->ends_with('/') && entry.path.starts_with(*it));
        if (chosen && !entry.isDirectory)
            bytes += entry.size;
    }
    return bytes;
}

void TerminalSession::waitUntilIdle() {
    poll();
    model_.loop().runUntilIdle();
    // An operation whose last step is a dialogue may end after the loop fell idle once.
    model_.loop().runUntil([this] { return !model_.isBusy(); }, forever);
    progress_.clear();
    showErrorMessage();
}

void TerminalSession::showErrorMessage() {
    if (!model_.errorMessage())
        return;
    showError(*model_.errorMessage());
    model_.setErrorMessage(std::nullopt);
}

void TerminalSession::showError(const std::string& message) {
    progress_.clear();
    messages_ << "\nNo se pudo completar la operación\n"
              << printable(message, true) << "\n"
              << std::flush;
    errorShown_ = true;
    settle(Outcome::failed);
}

bool TerminalSession::requestQuit() {
    if (!model_.isBusy())
        return true;
    if (!askToCancelAndQuit())
        return false;
    model_.loop().runUntil([this] { return !model_.isBusy(); }, forever);
    progress_.clear();
    return true;
}

void TerminalSession::finish(bool keepHandedOver) {
    if (!(keepHandedOver && previewHandedOver_))
        model_.clearPreview();
}

void TerminalSession::showPreview(const Path& file) {
    previewHandedOver_ = false;
    if (looksLikeText(file)) {
        out_ << std::flush;
        if (outputOnTerminal_ && showInPager(file))
            return;
        std::ifstream text(file, std::ios::binary);
        char buffer[65536];
        while (text.read(buffer, sizeof buffer) || text.gcount() > 0)
            out_.write(buffer, text.gcount());
        out_ << std::flush;
        return;
    }
    if (openWithDesktop(file)) {
        previewHandedOver_ = true;
        messages_
            << "Abierta con la aplicación del escritorio; sigue ahí hasta «cerrar-vista-previa».\n";
    } else {
        messages_ << "No es texto y no hay escritorio para mostrarla: ábrela desde esa ruta.\n";
    }
    out_ << std::flush;
}

int TerminalSession::runInteractive(bool showPrompt) {
    bool interrupted = false; // the last line was an empty one ended with Ctrl-C
    while (!quitting_ && terminationSignal() == 0) {
        const auto line = dialogs_.read(showPrompt ? prompt() : "", false, true);
        if (line.end == LineEnd::interrupted) {
            // Ctrl-C clears the line; twice in a row at the idle prompt ends the program.
            if (interrupted && line.text.empty())
                break;
            interrupted = line.text.empty();
            if (interrupted)
                messages_ << "(Ctrl-C otra vez termina el programa)\n" << std::flush;
            continue;
        }
        interrupted = false;
        if (line.end == LineEnd::endOfInput)
            break;
        std::vector<std::string> commands;
        try {
            commands = splitCommands(line.text);
        } catch (const QuotingError& error) {
            outcome_ = Outcome::done;
            usage(error.what());
            if (!showPrompt)
                return static_cast<int>(outcome_);
            continue;
        }
        bool goOn = true;
        for (const auto& command : commands) {
            goOn = execute(command);
            if (!showPrompt && outcome_ != Outcome::done)
                return static_cast<int>(outcome_);
            if (!goOn || terminationSignal() != 0)
                break;
        }
        if (!goOn && requestQuit())
            break;
    }
    return 0;
}

void TerminalSession::printRows() {
    if (!requireArchive())
        return;
    // Looking at the rows is being on the archive page, where additions go into the archive.
    model_.setPage(WorkspacePage::archive);
    const bool searching = !model_.search().empty();
    if (searching)
        out_ << "Resultados de «" << printable(model_.search()) << "»:\n";
    else
        out_ << "Carpeta: /" << printable(model_.folder()) << "\n";
    const auto rows = model_.visibleRows();
    if (rows.empty())
        out_ << "  (vacía)\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        out_ << (model_.selection().contains(row.path) ? " *" : "  ") << std::setw(3) << i + 1
             << ". " << printable(shownName(row, model_.folder(), searching));
        if (!row.isDirectory)
            out_ << "  (" << row.size << " bytes)";
        if (row.isEncrypted)
            out_ << "  [cifrado]";
        out_ << "\n";
    }
}

std::optional<std::vector<ArchiveItem>>
TerminalSession::rowsNamed(const std::vector<std::string>& numbers) {
    const auto rows = model_.visibleRows();
    std::vector<ArchiveItem> named;
    for (const auto& word : numbers) {
        const auto number = parseNumber(word);
        if (!number || *number < 1 || *number > static_cast<std::int64_t>(rows.size())) {
            usage("No hay ninguna fila " + word + ". Usa «ls» para ver los números.");
            return std::nullopt;
        }
        named.push_back(rows[static_cast<std::size_t>(*number - 1)]);
    }
    return named;
}

void TerminalSession::changeFolder(const std::string& name) {
    if (!requireArchive())
        return;
    // "cd" alone goes back to the root, as sftp's goes home.
    std::optional<std::string> target;
    if (name.empty())
        target = "";
    // A row of the listing by its number or the name it shows (a search shows whole paths).
    const auto rows = model_.visibleRows();
    const bool searching = !model_.search().empty();
    const auto number = parseNumber(name);
    for (std::size_t i = 0; i < rows.size() && !target && name != ".." && name != "."; ++i) {
        std::string shown = shownName(rows[i], model_.folder(), searching);
        if (!shown.empty() && shown.back() == '/')
            shown.pop_back();
        if (((number && *number == static_cast<std::int64_t>(i + 1)) || shown == name ||
             shown + "/" == name) &&
            rows[i].isDirectory && rows[i].path.ends_with("/"))
            target = rows[i].path;
    }
    if (!target)
        target = folderNamed(name);
    if (!target) {
        usage("No hay ninguna carpeta «" + printable(name) + "».");
        return;
    }
    // Opening a folder row: the folder changes, the selection and the search are cleared.
    model_.setFolder(*target);
    model_.setSelection({});
    model_.setSearch("");
    printRows();
}

std::optional<std::string> TerminalSession::folderNamed(const std::string& typed) const {
    if (!model_.archive())
        return std::nullopt;
    std::string folder = typed.starts_with('/') ? std::string() : model_.folder();
    const auto& entries = model_.archive()->entries;
    std::size_t start = 0;
    while (start <= typed.size()) {
        const auto end = std::min(typed.find('/', start), typed.size());
        const std::string step = typed.substr(start, end - start);
        start = end + 1;
        if (step.empty() || step == ".")
            continue;
        if (step == "..") {
            if (!folder.empty())
                folder.pop_back();
            const auto slash = folder.rfind('/');
            folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
            continue;
        }
        // A folder may have no entry of its own, only entries inside it.
        const std::string inside = folder + step + "/";
        if (std::none_of(entries.begin(), entries.end(),
                         [&](const ArchiveItem& entry) { return entry.path.starts_with(inside); }))
            return std::nullopt;
        folder = inside;
    }
    return folder;
}

std::vector<std::string> TerminalSession::foldersInside(const std::string& typed) const {
    const auto folder = folderNamed(typed);
    if (!folder)
        return {};
    std::set<std::string> names;
    for (const auto& entry : model_.archive()->entries) {
        if (!entry.path.starts_with(*folder))
            continue;
        const auto slash = entry.path.find('/', folder->size());
        if (slash != std::string::npos && slash > folder->size())
            names.insert(entry.path.substr(folder->size(), slash + 1 - folder->size()));
    }
    return {names.begin(), names.end()};
}

void TerminalSession::openLastOutput() {
    if (!model_.lastOutput()) {
        usage("No hay ningún resultado.");
        return;
    }
    const Path output = *model_.lastOutput();
    std::error_code error;
    if (!std::filesystem::is_directory(output, error)) {
        model_.openArchive(output);
        return;
    }
    // A folder (an extraction's result) is for the file manager, not for opening as an archive.
    if (openWithDesktop(output))
        messages_ << "Abierta en el gestor de archivos: " << printable(output.string()) << "\n";
    else
        usage("No hay escritorio para abrir la carpeta " + printable(output.string()) + ".");
}

void TerminalSession::inspector(const std::vector<std::string>& words) {
    if (!requireArchive())
        return;
    const auto& archive = model_.archive();
    const bool split = archive->volumes.size() > 1;
    // The extraction button takes the selection exactly when there is one.
    const bool selectionOnly = !model_.selection().empty();
    const std::string button = words.size() == 2 ? words[1] : "";
    if (button == "extraer") {
        model_.extractEntries(selectionOnly);
    } else if (button == "guardar-unico" && split) {
        model_.joinVolumesToSingleFile();
    } else if (words.size() != 1) {
        usage(std::string("Uso: inspector [extraer") + (split ? "|guardar-unico" : "") + "]");
    } else {
        out_ << printable(paths::lastPathComponent(archive->url)) << "\n"
             << "  tipo: " << archive->kindLabel() << "\n"
             << "  elementos: " << archive->entries.size() << "\n";
        if (split)
            out_ << "  partes: " << archive->volumes.size() << "\n";
        out_ << "  seleccionados: " << model_.selection().size() << "\n"
             << "  botones: " << (selectionOnly ? "Extraer selección…" : "Extraer todo…")
             << (split ? ", Guardar como archivo único…" : "") << "\n";
    }
}

void TerminalSession::printRecents() {
    const auto& recents = model_.recents();
    if (recents.empty())
        out_ << "No hay archivos recientes.\n";
    for (std::size_t i = 0; i < recents.size(); ++i)
        out_ << "  " << i + 1 << ". " << printable(recents[i].name) << "\n";
}

void TerminalSession::printRecords() {
    const auto& records = model_.records();
    if (records.empty())
        out_ << "Sin actividad.\n";
    for (const auto& record : records) {
        const std::time_t time = std::chrono::system_clock::to_time_t(record.date);
        std::tm local{};
        localtime_r(&time, &local);
        out_ << "  " << std::put_time(&local, "%H:%M:%S") << "  "
             << (record.succeeded ? "bien " : "error") << "  " << printable(record.title) << ": "
             << printable(record.detail);
        if (record.output)
            out_ << " (" << printable(record.output->string()) << ")";
        out_ << "\n";
    }
}

} // namespace vexa
