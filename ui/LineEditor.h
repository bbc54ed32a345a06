#pragma once

#include "ui/Completion.h"
#include "ui/LineInput.h"

#include <filesystem>
#include <memory>
#include <string>

namespace vexa {

// Line editing on the terminal with libedit: the arrow keys, a history kept in a file between
// runs, and Tab completion of command words (the first word of a command) and of paths (any
// other word). Ctrl-C ends the read as interrupted, Ctrl-D on an empty line as the end of
// input; a termination signal ends it as the end of input too. Reads standard input, writes
// standard error (where questions and messages go); the main thread only.
class LineEditor {
  public:
    // `historyFile`: loaded now, written after every remembered line (its folder is made).
    explicit LineEditor(std::filesystem::path historyFile);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // One edited line; `remember` puts a non-empty line into the history.
    ReadLine read(const std::string& prompt, bool remember);
    // One line typed without echo and never remembered (a password).
    ReadLine readSecret(const std::string& prompt);

    // Where Tab finds the folders of the open archive (the argument of "cd").
    void setArchiveFolders(ArchiveFolders folders);

    // Where the history lives: $XDG_STATE_HOME/vexa/historial, else
    // ~/.local/state/vexa/historial.
    static std::filesystem::path standardHistoryFile();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace vexa
