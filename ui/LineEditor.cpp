#include "ui/LineEditor.h"

#include "ui/Completion.h"
#include "ui/InterruptSignal.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <histedit.h>
#include <locale.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace vexa {

namespace {

constexpr int pollMilliseconds = 100;
constexpr wchar_t interruptKey = 0x03; // Ctrl-C, as the key bound to the interrupt
constexpr int historySize = 1000;

// libedit reads and writes UTF-8 only under a UTF-8 character type; the program's own locale
// stays untouched (this thread's locale changes only while a line is edited).
class Utf8Locale {
  public:
    Utf8Locale() {
        static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
        if (utf8)
            previous_ = ::uselocale(utf8);
    }
    ~Utf8Locale() {
        if (previous_)
            ::uselocale(previous_);
    }
    Utf8Locale(const Utf8Locale&) = delete;
    Utf8Locale& operator=(const Utf8Locale&) = delete;

  private:
    locale_t previous_{};
};

enum class Wait { ready, interrupted, terminated };

// Waits for a byte on standard input while watching the signal flags.
Wait waitForInput() {
    while (true) {
        if (terminationSignal() != 0)
            return Wait::terminated;
        if (takeInterrupt())
            return Wait::interrupted;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, pollMilliseconds) > 0)
            return Wait::ready;
    }
}

} // namespace

struct LineEditor::State {
    EditLine* editor = nullptr;
    History* history = nullptr;
    std::filesystem::path historyFile;
    std::string prompt;
    bool interrupted = false;
    bool commandLine = false;
    ArchiveFolders archiveFolders;
    std::mbstate_t decoding{};
};

namespace {

LineEditor::State& stateOf(EditLine* editor) {
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<LineEditor::State*>(data);
}

char* promptOf(EditLine* editor) {
    return stateOf(editor).prompt.data();
}

// 1 with a character, 0 at the end of input, as libedit's own reader.
int readCharacter(EditLine* editor, wchar_t* character) {
    auto& state = stateOf(editor);
    while (true) {
        if (takeResize())
            el_resize(editor);
        switch (waitForInput()) {
        case Wait::terminated:
            return 0;
        case Wait::interrupted:
            *character = interruptKey;
            return 1;
        case Wait::ready:
            break;
        }
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return 0;
        }
        wchar_t decoded = 0;
        const std::size_t used = std::mbrtowc(&decoded, &byte, 1, &state.decoding);
        if (used == static_cast<std::size_t>(-2))
            continue; // more bytes of the same character
        if (used == static_cast<std::size_t>(-1)) {
            state.decoding = {};
            continue; // not UTF-8: dropped
        }
        *character = decoded;
        return 1;
    }
}

unsigned char onInterrupt(EditLine* editor, int) {
    stateOf(editor).interrupted = true;
    std::fputs("^C", stderr);
    return CC_NEWLINE;
}

unsigned char onComplete(EditLine* editor, int) {
    const LineInfo* line = el_line(editor);
    const auto& state = stateOf(editor);
    const auto completion =
        complete(std::string(line->buffer, line->cursor), state.commandLine, state.archiveFolders);
    if (!completion.insert.empty()) {
        el_insertstr(editor, completion.insert.c_str());
        return CC_REFRESH;
    }
    if (completion.candidates.empty())
        return CC_REFRESH_BEEP;
    std::string shown = "\n";
    for (const auto& candidate : completion.candidates)
        shown += candidate + "  ";
    std::fputs((shown + "\n").c_str(), stderr);
    return CC_REDISPLAY;
}

} // namespace

LineEditor::LineEditor(std::filesystem::path historyFile) : state_(std::make_unique<State>()) {
    Utf8Locale utf8;
    state_->historyFile = std::move(historyFile);
    state_->history = history_init();
    HistEvent event;
    history(state_->history, &event, H_SETSIZE, historySize);
    history(state_->history, &event, H_SETUNIQUE, 1);
    history(state_->history, &event, H_LOAD, state_->historyFile.c_str());

    EditLine* editor = el_init("vexa", stdin, stderr, stderr);
    state_->editor = editor;
    el_set(editor, EL_CLIENTDATA, state_.get());
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_PROMPT, promptOf);
    el_set(editor, EL_GETCFN, readCharacter);
    el_set(editor, EL_HIST, history, state_->history);
    // Through the wide call, with names that live as long as the program: the narrow one copies
    // them and the library never frees the copies.
    el_wset(editor, EL_ADDFN, L"vexa-complete", L"Completa órdenes y rutas", onComplete);
    el_set(editor, EL_BIND, "^I", "vexa-complete", nullptr);
    el_wset(editor, EL_ADDFN, L"vexa-interrupt", L"Cancela la línea", onInterrupt);
    el_set(editor, EL_BIND, "^C", "vexa-interrupt", nullptr);
    el_source(editor, nullptr); // the user's ~/.editrc
}

LineEditor::~LineEditor() {
    Utf8Locale utf8;
    el_end(state_->editor);
    history_end(state_->history);
}

ReadLine LineEditor::read(const std::string& prompt, bool remember) {
    Utf8Locale utf8;
    // Results shown so far come before the prompt, whichever stream each is on.
    std::fflush(stdout);
    std::fflush(stderr);
    state_->prompt = prompt;
    state_->interrupted = false;
    state_->commandLine = remember;
    int count = 0;
    const char* typed = el_gets(state_->editor, &count);
    ReadLine result;
    if (typed && count > 0)
        result.text.assign(typed, static_cast<std::size_t>(count));
    while (!result.text.empty() && (result.text.back() == '\n' || result.text.back() == '\r'))
        result.text.pop_back();
    if (state_->interrupted) {
        result.end = LineEnd::interrupted;
        std::fputs("\n", stderr);
    } else if (!typed || count <= 0 || terminationSignal() != 0) {
        result.end = LineEnd::endOfInput;
        std::fputs("\n", stderr);
    } else if (remember && result.text.find_first_not_of(" \t") != std::string::npos) {
        HistEvent event;
        history(state_->history, &event, H_ENTER, result.text.c_str());
        std::error_code error;
        std::filesystem::create_directories(state_->historyFile.parent_path(), error);
        history(state_->history, &event, H_SAVE, state_->historyFile.c_str());
    }
    std::fflush(stderr);
    return result;
}

ReadLine LineEditor::readSecret(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    ReadLine result;
    while (true) {
        const Wait wait = waitForInput();
        if (wait != Wait::ready) {
            result.end = wait == Wait::interrupted ? LineEnd::interrupted : LineEnd::endOfInput;
            break;
        }
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            // Ctrl-D after some text only hands that text over; on an empty line it ends.
            if (result.text.empty()) {
                result.end = LineEnd::endOfInput;
                break;
            }
            continue;
        }
        if (byte == '\n')
            break;
        result.text += byte;
    }
    if (quiet)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fputs(result.end == LineEnd::interrupted ? "^C\n" : "\n", stderr);
    std::fflush(stderr);
    if (result.end != LineEnd::text)
        result.text.clear();
    return result;
}

void LineEditor::setArchiveFolders(ArchiveFolders folders) {
    state_->archiveFolders = std::move(folders);
}

std::filesystem::path LineEditor::standardHistoryFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path folder;
    if (state && *state == '/') {
        folder = state;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::filesystem::path(home && *home ? home : "/") / ".local/state";
    }
    return folder / "vexa" / "historial";
}

} // namespace vexa
