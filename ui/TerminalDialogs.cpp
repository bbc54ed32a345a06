#include "ui/TerminalDialogs.h"

#include "platform/Paths.h"
#include "platform/TextRules.h"
#include "ui/CommandWords.h"
#include "ui/LineEditor.h"
#include "ui/SafeText.h"

#include <algorithm>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <termios.h>
#include <unistd.h>

namespace vexa {

namespace {

bool hasAllowedType(const std::filesystem::path& location, const std::vector<std::string>& types) {
    if (types.empty())
        return true;
    const std::string name = text::asciiLowercased(paths::lastPathComponent(location));
    return std::any_of(types.begin(), types.end(), [&](const std::string& type) {
        const std::string suffix = "." + text::asciiLowercased(type);
        return name.size() > suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

// Switches echo off on standard input for its lifetime, so a typed password is not shown.
class EchoOff {
  public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

} // namespace

TerminalDialogs::TerminalDialogs(std::istream& in, std::ostream& out, bool terminalInput)
    : in_(in), out_(out), terminalInput_(terminalInput) {}

ReadLine TerminalDialogs::read(const std::string& prompt, bool secret, bool remember) {
    if (editor_) {
        out_ << std::flush;
        return secret ? editor_->readSecret(prompt) : editor_->read(prompt, remember);
    }
    out_ << prompt << std::flush;
    ReadLine result;
    bool read = false;
    if (secret && terminalInput_) {
        EchoOff echoOff;
        read = static_cast<bool>(std::getline(in_, result.text));
        out_ << "\n";
    } else {
        read = static_cast<bool>(std::getline(in_, result.text));
        // Answers from a script are not echoed; the line end keeps the transcript readable.
        if (read && !terminalInput_ && !prompt.empty())
            out_ << "\n";
    }
    if (!read) {
        out_ << "\n" << std::flush;
        return {LineEnd::endOfInput, {}};
    }
    if (!result.text.empty() && result.text.back() == '\r')
        result.text.pop_back();
    return result;
}

std::optional<std::string> TerminalDialogs::readLine(const std::string& prompt, bool secret) {
    auto line = read(prompt, secret);
    if (line.end != LineEnd::text)
        return std::nullopt;
    return std::move(line.text);
}

std::optional<bool> TerminalDialogs::askYesOrNo(const std::string& question, bool safe) {
    while (true) {
        const auto line = readLine(question + (safe ? " (s/n) [s]: " : " (s/n) [n]: "));
        if (!line)
            return std::nullopt;
        if (line->find_first_not_of(" \t") == std::string::npos)
            return safe;
        if (const auto answer = yesOrNo(*line))
            return answer;
        out_ << "Responde «s» (sí) o «n» (no).\n";
    }
}

std::filesystem::path TerminalDialogs::locationFromTyped(const std::string& typed) {
    std::string text = typed;
    if (text == "~" || text.starts_with("~/")) {
        const char* home = std::getenv("HOME");
        if (home && *home)
            text = std::string(home) + text.substr(1);
    }
    return paths::standardized(text);
}

AlertResponse TerminalDialogs::runAlert(const AlertRequest& request) {
    out_ << "\n" << printable(request.messageText, true) << "\n";
    if (!request.informativeText.empty())
        out_ << printable(request.informativeText, true) << "\n";
    // The end of input cancels: the "Cancelar" button wherever it stands (a destructive choice
    // may come last), else the last one.
    const auto cancel = std::find(request.buttons.begin(), request.buttons.end(), "Cancelar");
    const int cancelButton =
        1000 +
        static_cast<int>(cancel != request.buttons.end()
                             ? cancel - request.buttons.begin()
                             : std::max<std::ptrdiff_t>(
                                   static_cast<std::ptrdiff_t>(request.buttons.size()) - 1, 0));

    AlertResponse response;
    // A name given with the command answers the name's question, never a password's.
    if (request.hasTextField && !request.secureTextField && presetText_) {
        response.text = *presetText_;
        presetText_.reset();
        return response;
    }
    if (request.hasTextField) {
        // The line answers the whole alert: Enter confirms the text, nothing typed cancels.
        std::string prompt = request.placeholder.empty()
                                 ? (request.secureTextField ? "Contraseña" : "Texto")
                                 : request.placeholder;
        if (!request.initialText.empty())
            prompt += " (ahora «" + printable(request.initialText) + "»)";
        const auto text = readLine(prompt + ": ", request.secureTextField);
        if (!text || text->empty()) {
            ++cancelledQuestions_;
            return {cancelButton, request.initialText};
        }
        response.text = *text;
        return response;
    }
    if (request.buttons.size() <= 1)
        return response;

    for (std::size_t i = 0; i < request.buttons.size(); ++i)
        out_ << "  " << i + 1 << ". " << printable(request.buttons[i]) << "\n";
    // A warning's change cannot be undone: Enter alone keeps things as they are.
    const int defaultButton = request.warningStyle ? cancelButton : 1000;
    const auto choose = [&](int button) {
        if (request.buttons[static_cast<std::size_t>(button - 1000)] == "Cancelar")
            ++cancelledQuestions_;
        response.button = button;
        return response;
    };
    while (true) {
        const auto choice =
            readLine("Elige una opción [" + std::to_string(defaultButton - 999) + "]: ");
        if (!choice) {
            ++cancelledQuestions_;
            response.button = cancelButton;
            return response;
        }
        const auto first = choice->find_first_not_of(" \t");
        if (first == std::string::npos)
            return choose(defaultButton);
        const auto number =
            parseNumber(choice->substr(first, choice->find_last_not_of(" \t") + 1 - first));
        if (number && *number >= 1 && *number <= static_cast<std::int64_t>(request.buttons.size()))
            return choose(1000 + static_cast<int>(*number) - 1);
        out_ << "Escribe un número del 1 al " << request.buttons.size() << ".\n";
    }
}

std::vector<std::filesystem::path> TerminalDialogs::runOpenPanel(const OpenPanelRequest& request) {
    out_ << "\n";
    if (!request.message.empty())
        out_ << printable(request.message, true) << "\n";
    std::string kind = request.canChooseDirectories
                           ? (request.canChooseFiles ? "archivo o carpeta" : "carpeta")
                           : "archivo";
    std::string prompt =
        (request.prompt.empty() ? std::string("Abrir") : request.prompt) + " (" + kind +
        (request.allowsMultipleSelection ? "; una ruta por línea, vacío para terminar"
                                         : "; vacío para cancelar") +
        "): ";

    std::vector<std::filesystem::path> chosen;
    while (true) {
        const auto typed = readLine(prompt);
        if (!typed || (typed->empty() && chosen.empty())) {
            ++cancelledQuestions_;
            return {};
        }
        if (typed->empty())
            return chosen;
        const auto location = locationFromTyped(*typed);
        std::error_code error;
        const auto status = std::filesystem::status(location, error);
        if (!std::filesystem::exists(status)) {
            out_ << "No existe: " << printable(location.string()) << "\n";
            continue;
        }
        const bool isFolder = std::filesystem::is_directory(status);
        if (isFolder && !request.canChooseDirectories) {
            out_ << "Es una carpeta; elige un archivo.\n";
            continue;
        }
        if (!isFolder && !request.canChooseFiles) {
            out_ << "No es una carpeta.\n";
            continue;
        }
        if (!isFolder && !hasAllowedType(location, request.allowedContentTypes)) {
            out_ << "Este tipo de archivo no se puede elegir aquí.\n";
            continue;
        }
        chosen.push_back(location);
        if (!request.allowsMultipleSelection)
            return chosen;
    }
}

std::optional<std::filesystem::path>
TerminalDialogs::runSavePanel(const SavePanelRequest& request) {
    out_ << "\n";
    if (!request.message.empty())
        out_ << printable(request.message, true) << "\n";
    const std::filesystem::path folder =
        request.directory ? *request.directory : std::filesystem::current_path();
    while (true) {
        const auto typed =
            readLine((request.prompt.empty() ? std::string("Guardar") : request.prompt) + " [" +
                     printable(request.nameFieldStringValue) + "]: ");
        if (!typed) {
            ++cancelledQuestions_;
            return std::nullopt;
        }
        std::filesystem::path location =
            typed->empty() ? folder / request.nameFieldStringValue : locationFromTyped(*typed);
        std::error_code error;
        if (std::filesystem::is_directory(location, error))
            location /= request.nameFieldStringValue;
        if (!hasAllowedType(location, request.allowedContentTypes))
            location += "." + request.allowedContentTypes.front();
        location = location.lexically_normal();
        if (std::filesystem::exists(std::filesystem::symlink_status(location, error))) {
            const auto replace =
                askYesOrNo("Ya existe " + printable(location.string()) + ". ¿Reemplazarlo?", false);
            if (!replace) {
                ++cancelledQuestions_;
                return std::nullopt;
            }
            if (!*replace)
                continue;
        }
        return location;
    }
}

} // namespace vexa
