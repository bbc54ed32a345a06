#pragma once

#include "core/archive/ArchiveItem.h"
#include "core/workspace/WorkspaceModel.h"
#include "ui/Outcome.h"
#include "ui/ProgressDisplay.h"
#include "ui/TerminalDialogs.h"

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// The terminal's commands over one workspace model: each command calls the model's entry point
// of the window it stands for, then the main loop runs until the model is idle while the
// progress bar is drawn and Ctrl-C cancels. Afterwards the status message is shown and an error
// message is shown once and cleared. Runs on the main loop's thread.
class TerminalSession {
  public:
    // `watchInput`: while an operation runs, read typed lines from the dialogues' input so that
    // "salir" reaches the quit guard (only sensible when that input is a terminal).
    TerminalSession(WorkspaceModel& model, TerminalDialogs& dialogs, std::ostream& out,
                    std::ostream& messages, std::ostream& progress, bool progressOnTerminal,
                    bool watchInput);
    ~TerminalSession();
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    // Runs one command, waits until the model is idle and shows its messages. False when the
    // session is to end. lastOutcome() then tells what the command came to.
    bool execute(const std::string& command);
    Outcome lastOutcome() const { return outcome_; }
    // True when an operation that was running as a termination signal came still succeeded
    // (its result was in place before the cancellation could stop it): the run then ends with
    // that success, never with the signal's status, which promises that nothing changed.
    bool succeededUnderSignal() const { return succeededUnderSignal_; }
    // Runs commands until one does not end well or one is "salir"; gives the exit status.
    int runScript(const std::vector<std::string>& commands);
    // Starts one command without waiting for the operation it begins. False for "salir".
    bool dispatch(const std::string& command);
    // Opens the archive at a typed location, as the file manager hands one over; a location
    // that does not exist is only reported.
    void openTyped(const std::string& typed);
    // Runs the loop until the model is idle, then shows the error message, if any.
    void waitUntilIdle();

    // The quit guard: idle, the program may end; busy, asks whether to cancel and, if so,
    // cancels and waits until the model is idle. True when the program may end.
    bool requestQuit();
    // Closes the preview, as the window does when the program ends. `keepHandedOver`: a preview
    // handed to the desktop's viewer stays for it (a script ends before the viewer reads it).
    void finish(bool keepHandedOver = false);
    // Standard output is a terminal: a text preview goes through the pager.
    void setOutputOnTerminal(bool terminal) { outputOnTerminal_ = terminal; }

    // Reads commands from the dialogues' input until "salir" or the end of input. At a terminal
    // (`showPrompt`) every command runs and the status is 0; from a pipe it stops as a script
    // does. Gives the exit status.
    int runInteractive(bool showPrompt);
    // "vexa (página)> ": the prompt names the page shown, so what a command does is visible.
    std::string prompt() const;

    // The folders inside the archive folder that `typed` names, as "cd" takes it (see
    // folderNamed), each ending in "/": what Tab offers after "cd".
    std::vector<std::string> foldersInside(const std::string& typed) const;

    // True once an error message has been shown.
    bool errorShown() const { return errorShown_; }

    static std::string helpText();

  private:
    // Says why a command did nothing: a usage error.
    void usage(const std::string& text);
    // The command's outcome, unless an earlier one of the same command already holds.
    void settle(Outcome outcome);
    using Path = std::filesystem::path;

    void observe(WorkspaceField field);
    void poll();
    // The quit guard's question; cancels the operation when the user agrees.
    bool askToCancelAndQuit();
    void showErrorMessage();
    // The error alert with `message`.
    void showError(const std::string& message);
    void printRows();
    void printRecords();
    void printRecents();
    // The inspector of the open archive, or its button when `words` say so.
    void inspector(const std::vector<std::string>& words);
    // The rows named by 1-based numbers of the current listing; none (after saying why) when a
    // number is wrong.
    std::optional<std::vector<ArchiveItem>> rowsNamed(const std::vector<std::string>& numbers);
    void changeFolder(const std::string& name);
    // The archive folder ("" for the root, else ending in "/") that a typed path names, as
    // sftp's cd takes one: from the root after a leading "/", else from the current folder;
    // ".." goes up (never above the root) and "." stays. None when a step is no folder.
    std::optional<std::string> folderNamed(const std::string& typed) const;
    // The bytes an extraction of everything or of the selection writes.
    std::optional<std::int64_t> entryBytes(bool selectionOnly) const;
    // The status bar's button: an archive is opened, a folder is shown in the file manager.
    void openLastOutput();
    // Shows the preview file: text in the pager or printed, anything else with the desktop.
    void showPreview(const Path& file);
    // The create page's commands (TerminalCreation.cpp); false when `name` is none of them.
    bool dispatchCreation(const std::string& name, const std::vector<std::string>& words);
    void printCreationSettings();
    // The commands that edit the open archive (TerminalEditing.cpp); false for any other.
    bool dispatchEditing(const std::string& name, const std::vector<std::string>& words);
    // Dropped locations go into the open archive's current folder on the archive page.
    bool addsToOpenArchive() const;
    // False, after saying so, when no archive is open.
    bool requireArchive();
    // requireArchive, after checking that `given` arguments lie in [least, most] (else the
    // usage `form` is shown).
    bool requireArchiveNamed(const char* form, std::size_t least, std::size_t most,
                             std::size_t given);
    // False, after naming it, when one of the typed locations does not exist.
    bool existingLocations(const std::vector<Path>& locations);
    void adjustSetting(const std::string& option, const std::string& value);
    // Sets the format, turning off (and saying so) what it would drop.
    void changeCreationFormat(ArchiveFormat format);
    void dragOut(const std::vector<ArchiveItem>& items, const Path& folder);
    void writePromise(std::shared_ptr<const std::vector<ArchiveItem>> items, std::size_t index,
                      Path archive, Path folder, std::shared_ptr<Progress> progress);

    WorkspaceModel& model_;
    TerminalDialogs& dialogs_;
    std::ostream& out_;
    std::ostream& messages_;
    ProgressDisplay progress_;
    bool watchInput_;
    ObservationRegistrar::Token token_;
    std::uint64_t pollTimer_;
    bool errorShown_ = false;
    Outcome outcome_ = Outcome::done;
    bool quitting_ = false;
    bool succeededUnderSignal_ = false;
    Path shownArchive_; // the archive whose opening was last reported
    bool outputOnTerminal_ = false;
    bool previewHandedOver_ = false;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace vexa
