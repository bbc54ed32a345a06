#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexa::testing {

// The program run on a pseudo-terminal, as a user at a terminal runs it: keys are written to
// it, and what it shows is read back.
class PseudoTerminal {
  public:
    // Runs `program` with `arguments` in `folder`, with `environment` ("NAME=value") added to
    // the test's own, on a terminal `columns` wide.
    PseudoTerminal(const std::string& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& folder, const std::vector<std::string>& environment,
                   int columns = 80);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    void send(const std::string& keys);
    // Reads until `text` appears after the end of the last text waited for; false when it has
    // not come within a generous limit (a hung program, not a slow one).
    bool waitFor(const std::string& text);
    // waitFor(text), then until the program reads the terminal key by key (libedit's mode), so
    // keys sent next are edited rather than echoed by the terminal itself.
    bool waitForPrompt(const std::string& text);
    // waitFor(text), then until the terminal no longer echoes (a password is being read).
    bool waitForSilence(const std::string& text);
    // Everything shown so far.
    const std::string& output() const { return output_; }
    // Everything shown after the end of the last text waited for.
    std::string since() const { return output_.substr(seen_); }
    void resize(int columns);
    // The exit status (128 + N when killed by signal N); -1 when it did not end in time.
    int exitStatus();
    pid_t pid() const { return pid_; }

  private:
    bool waitForMode(unsigned flag);
    // Reads what is there, waiting up to `milliseconds`; false at the end of output.
    bool readSome(int milliseconds);

    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
    std::size_t seen_ = 0;
    int status_ = -1;
};

} // namespace vexa::testing
