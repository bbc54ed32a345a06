#include "tests/ui/PseudoTerminal.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace vexa::testing {

namespace {

// Far above what any step needs; only a hung program reaches it.
constexpr auto patience = std::chrono::seconds(20);

} // namespace

PseudoTerminal::PseudoTerminal(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::filesystem::path& folder,
                               const std::vector<std::string>& environment, int columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        if (::chdir(folder.c_str()) != 0)
            ::_exit(126);
        for (const auto& variable : environment)
            ::putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

PseudoTerminal::~PseudoTerminal() {
    if (status_ < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        ::close(master_);
}

void PseudoTerminal::send(const std::string& keys) {
    std::size_t written = 0;
    while (written < keys.size()) {
        const ssize_t n = ::write(master_, keys.data() + written, keys.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("cannot write to the terminal");
        written += static_cast<std::size_t>(n);
    }
}

bool PseudoTerminal::readSome(int milliseconds) {
    pollfd input{master_, POLLIN, 0};
    if (::poll(&input, 1, milliseconds) <= 0)
        return true;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0)
        return false; // EIO once the program has gone
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

bool PseudoTerminal::waitFor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (true) {
        const auto at = output_.find(text, seen_);
        if (at != std::string::npos) {
            seen_ = at + text.size();
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline || !readSome(50))
            return output_.find(text, seen_) != std::string::npos;
    }
}

bool PseudoTerminal::waitForPrompt(const std::string& text) {
    return waitFor(text) && waitForMode(ICANON);
}

bool PseudoTerminal::waitForSilence(const std::string& text) {
    return waitFor(text) && waitForMode(ECHO);
}

bool PseudoTerminal::waitForMode(unsigned flag) {
    // The master reports the settings the program made on its side.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        termios mode{};
        if (::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & flag) == 0)
            return true;
        readSome(5);
    }
    return false;
}

void PseudoTerminal::resize(int columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    ::ioctl(master_, TIOCSWINSZ, &size);
}

int PseudoTerminal::exitStatus() {
    if (status_ >= 0)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        readSome(20); // the program may block writing to a full terminal
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            while (readSome(0) && output_.size() < (64u << 20)) {
                pollfd more{master_, POLLIN, 0};
                if (::poll(&more, 1, 0) <= 0)
                    break;
            }
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
    }
    return -1;
}

} // namespace vexa::testing
