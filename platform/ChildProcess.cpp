#include "platform/ChildProcess.h"

#include "platform/FileOperations.h"
#include "platform/Pipe.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vexa::platform {

namespace {

constexpr auto pollInterval = std::chrono::milliseconds(50);

// Everything the child needs, built before the fork: between fork and exec the child of a
// threaded process may only make system calls.
struct Launch {
    explicit Launch(const ProcessSpec& spec) {
        // Looked up before the fork, as execvp would look.
        program = spec.program.string().find('/') != std::string::npos
                      ? spec.program.string()
                      : findProgram(spec.program.string()).string();
        words.push_back(spec.program.string());
        words.insert(words.end(), spec.arguments.begin(), spec.arguments.end());
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        if (spec.environment) {
            variables = *spec.environment;
            for (std::string& variable : variables)
                envp.push_back(variable.data());
            envp.push_back(nullptr);
        }
        directory = spec.workingDirectory.string();
        for (const auto& [ours, theirs] : {std::pair{spec.standardInput, STDIN_FILENO},
                                           std::pair{spec.standardOutput, STDOUT_FILENO},
                                           std::pair{spec.standardError, STDERR_FILENO}})
            if (ours != ProcessSpec::inherited)
                descriptors.emplace_back(ours, theirs);
        descriptors.insert(descriptors.end(), spec.descriptors.begin(), spec.descriptors.end());
        for (const auto& [ours, theirs] : descriptors)
            floor = std::max(floor, theirs + 1);
    }

    std::string program;
    std::vector<std::string> words;
    std::vector<char*> argv;
    std::vector<std::string> variables;
    std::vector<char*> envp;
    std::string directory;
    std::vector<std::pair<int, int>> descriptors;
    int floor = STDERR_FILENO + 1;
};

// The child's side, up to its exec. Gives the errno of the failed step.
int prepareAndExec(const Launch& launch, bool ownGroup, pid_t deathParent) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &standard, nullptr);
    if (ownGroup)
        ::setpgid(0, 0);
    if (deathParent > 0 && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != deathParent))
        return ECHILD;
    // Every descriptor handed over is first copied above all the numbers it may take, so that
    // putting one in place cannot overwrite another not yet placed.
    int copies[64];
    const std::size_t count = std::min<std::size_t>(launch.descriptors.size(), 64);
    for (std::size_t i = 0; i < count; ++i) {
        const int ours = launch.descriptors[i].first;
        const int source =
            ours == ProcessSpec::nullDevice ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : ours;
        if (source < 0 || (copies[i] = ::fcntl(source, F_DUPFD_CLOEXEC, launch.floor)) < 0)
            return errno;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (::dup2(copies[i], launch.descriptors[i].second) < 0)
            return errno;
    if (!launch.directory.empty() && ::chdir(launch.directory.c_str()) != 0)
        return errno;
    if (launch.program.empty())
        return ENOENT;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(launch.program.c_str(), launch.argv.data(),
             launch.envp.empty() ? environ : const_cast<char* const*>(launch.envp.data()));
    return errno;
}

// Ends a forked child that did not reach its exec, or the middle one of a double fork. Straight
// to the kernel: a sanitizer's _exit would first look over the threads the child only holds
// copies of, report them as leaked, and change the status the parent reads.
[[noreturn]] void endChild(int status) {
    ::syscall(SYS_exit_group, status);
    ::_exit(status);
}

// Forks with every signal blocked, so that no handler of ours runs in the child before the
// dispositions are reset; `child` runs in the child and never returns. Gives the pid, or -1
// with errno set.
template <typename Child> pid_t forkBlocked(Child child) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0)
        child();
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = forkError;
    return pid;
}

// Reads the errno a child reports before its exec; the pipe closes at a successful exec.
int reportedError(int fd) {
    int error = 0;
    const ssize_t count = readSome(fd, &error, sizeof error);
    return count > 0 ? (error != 0 ? error : ECHILD) : 0;
}

int exitCode(const std::optional<int>& status) {
    return !status                ? -1
           : WIFEXITED(*status)   ? WEXITSTATUS(*status)
           : WIFSIGNALED(*status) ? 128 + WTERMSIG(*status)
                                  : -1;
}

} // namespace

std::filesystem::path findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto colon = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, colon - start);
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0)
            return folder + "/" + name;
        start = colon + 1;
    }
    return {};
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** variable = environ; variable && *variable; ++variable) {
        const std::string entry(*variable);
        if (!overrides.contains(entry.substr(0, entry.find('='))))
            result.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        result.push_back(name + "=" + value);
    return result;
}

std::optional<int> waitForStatus(pid_t pid) {
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (result != pid)
        return std::nullopt;
    return status;
}

ChildProcess::ChildProcess(const ProcessSpec& spec) : group_(spec.ownProcessGroup) {
    const Launch launch(spec);
    Pipe report;
    const pid_t parent = ::getpid();
    const pid_t deathParent = spec.diesWithParent ? parent : 0;
    pid_ = forkBlocked([&] {
        // Out of the way of the numbers the child's descriptors take.
        const int out = ::fcntl(report.write, F_DUPFD_CLOEXEC, launch.floor);
        const int error = prepareAndExec(launch, spec.ownProcessGroup, deathParent);
        (void)!::write(out, &error, sizeof error);
        endChild(127);
    });
    const int forkError = errno;
    report.closeWrite();
    if (pid_ < 0)
        throw PlatformError::fromErrno(forkError, spec.program.string(), false);
    if (const int error = reportedError(report.read)) {
        waitForStatus(pid_);
        pid_ = -1;
        throw PlatformError::fromErrno(error, spec.program.string(), false);
    }
    exitSignal_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), group_(other.group_),
      exitSignal_(std::exchange(other.exitSignal_, -1)), status_(other.status_),
      reaped_(other.reaped_) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_)
        terminate();
    if (exitSignal_ >= 0)
        ::close(exitSignal_);
}

bool ChildProcess::hasEnded() const {
    if (reaped_)
        return true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno != EINTR; // ECHILD: nothing left to wait for
    return info.si_pid == pid_;
}

void ChildProcess::waitFor(std::chrono::milliseconds interval) const {
    pollfd request{exitSignal_, POLLIN, 0};
    if (exitSignal_ < 0 || ::poll(&request, 1, static_cast<int>(interval.count())) < 0)
        std::this_thread::sleep_for(interval);
}

int ChildProcess::wait() {
    if (!reaped_) {
        status_ = waitForStatus(pid_);
        reaped_ = true;
    }
    return exitCode(status_);
}

bool ChildProcess::exitedNormally() const {
    return status_ && WIFEXITED(*status_);
}

void ChildProcess::signal(int number) const {
    ::kill(group_ ? -pid_ : pid_, number);
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (reaped_)
        return exitCode(status_);
    signal(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (!hasEnded() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(pollInterval);
    // Also whatever the program left running in its group.
    signal(SIGKILL);
    return wait();
}

int ChildProcess::kill() {
    if (!reaped_)
        signal(SIGKILL);
    return wait();
}

ProcessOutput runCapturingOutput(ProcessSpec spec) {
    ProcessOutput result;
    std::optional<ChildProcess> child;
    {
        Pipe output;
        spec.standardOutput = output.write;
        try {
            child.emplace(spec);
        } catch (const PlatformError&) {
            return result;
        }
        result.started = true;
        // Our copy of the write end must go, or the read below never sees the end of the output.
        output.closeWrite();
        char buffer[4096];
        for (;;) {
            const ssize_t count = readSome(output.read, buffer, sizeof buffer);
            if (count <= 0)
                break;
            result.standardOutput.append(buffer, static_cast<std::size_t>(count));
        }
    }
    const int code = child->wait();
    if (child->exitedNormally())
        result.exitStatus = code;
    return result;
}

bool startDetached(const ProcessSpec& spec) {
    const Launch launch(spec);
    // Twice forked: the program's parent ends at once, so it outlives nothing of ours and
    // leaves no child to reap.
    const pid_t child = forkBlocked([&] {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            prepareAndExec(launch, false, 0);
            endChild(127);
        }
        endChild(grandchild < 0 ? 1 : 0);
    });
    if (child < 0)
        return false;
    const auto status = waitForStatus(child);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

} // namespace vexa::platform
