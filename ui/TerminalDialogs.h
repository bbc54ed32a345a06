#pragma once

#include "platform/Dialogs.h"
#include "ui/LineInput.h"

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace vexa {

class LineEditor;

// The model's dialogues asked on a terminal, or answered from lines of a script: questions go
// to `out`, answers are read from `in` one line each. An answer that cannot be read (end of
// input) cancels: an alert gets its "Cancelar" button (else its last), a panel gives nothing.
//
// An answer is the whole line as typed, without its line end: a name or a location with spaces
// or quotes needs no quoting. Only command lines are split like a shell line.
//
// Alerts list their buttons by number (1 is the first button, answering 1000); an empty answer
// takes the first button, except in a warning, whose change cannot be undone: there it takes
// "Cancelar" (else the last button). An alert with a text field is answered by that one line: a
// text is its first button, an empty line its "Cancelar"; a secure field is read with echo off
// when `in` is a terminal. Open panels read one location per line until an empty line (the
// first empty line cancels) and ask again for a location of the wrong kind; save panels read a
// location with the proposed name as default and ask before replacing a file, "no" unless the
// answer is yes. Relative locations are taken from the current folder.
class TerminalDialogs : public Dialogs {
  public:
    // `terminalInput`: whether `in` is the terminal, so that echo may be switched off.
    TerminalDialogs(std::istream& in, std::ostream& out, bool terminalInput);

    AlertResponse runAlert(const AlertRequest& request) override;
    std::vector<std::filesystem::path> runOpenPanel(const OpenPanelRequest& request) override;
    std::optional<std::filesystem::path> runSavePanel(const SavePanelRequest& request) override;

    // The next alert with a plain text field takes `text` and its first button without asking
    // (a command that already names the answer, such as a new name); until clearPresetText. A
    // password field asked before it is asked as ever.
    void presetText(std::string text) { presetText_ = std::move(text); }
    void clearPresetText() { presetText_.reset(); }

    // Reads the terminal through `editor` from now on (none: `in` again). An answer cancelled
    // with Ctrl-C or Ctrl-D cancels its question; the program goes on.
    void useEditor(LineEditor* editor) { editor_ = editor; }
    bool editing() const { return editor_ != nullptr; }

    // One line of the answer source, without its line end, and how the read ended.
    // `remember`: a command line, kept in the editor's history.
    ReadLine read(const std::string& prompt, bool secret = false, bool remember = false);
    // One line of the answer source; none at the end of input or on Ctrl-C.
    std::optional<std::string> readLine(const std::string& prompt, bool secret = false);
    // A yes-or-no question: `safe` for an empty answer, none when it is cancelled. Asks again,
    // after saying why, for an answer that is neither (see yesOrNo).
    std::optional<bool> askYesOrNo(const std::string& question, bool safe);
    // Questions the user cancelled so far (a cancelled answer, "Cancelar", an empty panel).
    std::uint64_t cancelledQuestions() const { return cancelledQuestions_; }
    // The absolute location a typed path names ("~/" is the home folder).
    static std::filesystem::path locationFromTyped(const std::string& typed);

  private:
    std::istream& in_;
    std::ostream& out_;
    bool terminalInput_;
    std::optional<std::string> presetText_;
    LineEditor* editor_ = nullptr;
    std::uint64_t cancelledQuestions_ = 0;
};

} // namespace vexa
