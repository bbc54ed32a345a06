#include "engines/rar/RARCommand.h"

#include "engines/rar/RARPercentMeter.h"
#include "engines/rar/RARPipe.h"
#include "platform/PlatformError.h"
#include "platform/Secrets.h"
#include "platform/TextRules.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <locale.h>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vexa {

namespace {

constexpr auto pollInterval = std::chrono::milliseconds(50);
// How long a terminated program may take to end before it is killed.
constexpr auto terminationGrace = std::chrono::seconds(3);

// U+000A to U+000D, U+0085, U+2028, U+2029 in UTF-8.
bool hasLineBreak(std::string_view text) {
    for (const std::string_view sequence :
         {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        if (text.find(sequence) != std::string_view::npos)
            return true;
    return false;
}

// The program's documented exit statuses for failures of the system (5 write, 9 create,
// 8 memory) are told as the platform tells them, naming the archive being written: the first
// argument after the command word that is not a switch. It lies in a work folder, which the
// platform's messages name after the user's archive. rar does not say why a write failed, so
// the disk is asked. Its open and read errors (6, 12) concern a file it does not name, most
// often a source, so they keep the exit status like every other failure.
void throwSystemFailureOfExit(int code, const std::vector<std::string>& arguments,
                              const std::filesystem::path& workingDirectory) {
    if (code != 5 && code != 8 && code != 9)
        return;
    std::filesystem::path archive = workingDirectory;
    bool switches = true;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (switches && arguments[i] == "--") {
            switches = false;
        } else if (!switches || !arguments[i].starts_with('-')) {
            archive = workingDirectory / arguments[i];
            break;
        }
    }
    int errorNumber = ENOMEM;
    if (code != 8) {
        const std::filesystem::path folder = archive.parent_path();
        struct statvfs disk {};
        const bool known = ::statvfs(folder.c_str(), &disk) == 0;
        if (known && (disk.f_flag & ST_RDONLY) != 0)
            errorNumber = EROFS;
        else if (known &&
                 static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize < (1ull << 20))
            errorNumber = ENOSPC;
        else if (code == 9 && ::access(folder.c_str(), W_OK) != 0)
            errorNumber = EACCES;
        else
            errorNumber = EIO;
    }
    throw PlatformError::fromErrno(errorNumber, archive.string(), true);
}

// Feeds the program's output to the meter on a thread of its own. It stops when asked even
// while the pipe stays open, since a process the program started may still hold its end.
class OutputReader {
  public:
    OutputReader(int fd, RARPercentMeter& meter)
        : thread_([this, fd, &meter] { run(fd, meter); }) {}
    ~OutputReader() { remove(); }
    OutputReader(const OutputReader&) = delete;
    OutputReader& operator=(const OutputReader&) = delete;

    void remove() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void run(int fd, RARPercentMeter& meter) {
        char block[65536];
        while (!stopRequested()) {
            pollfd request{fd, POLLIN, 0};
            const int ready = ::poll(&request, 1, static_cast<int>(pollInterval.count()));
            if (ready < 0 && errno != EINTR)
                return;
            if (ready <= 0)
                continue;
            const ssize_t count = ::read(fd, block, sizeof block);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return;
            meter.scan(std::string_view(block, static_cast<std::size_t>(count)));
            // rar writes a few bytes at a time, over a hundred thousand times for a large
            // tree; waking for each write cost both processes more than the percentages are
            // worth. The pipe gathers them until the next look, which the polling loop's
            // pace would not see sooner anyway.
            std::unique_lock lock(mutex_);
            stopped_.wait_for(lock, pollInterval, [this] { return stop_; });
        }
    }

    bool stopRequested() {
        std::lock_guard lock(mutex_);
        return stop_;
    }

    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

// A started program: reaps it, killing it first if it still runs, when it goes out of scope.
// It is looked at without being reaped until the end, so that its pid, which names its process
// group, cannot be handed to another process while that group is still signalled.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid)
        : pid_(pid), exitSignal_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
    ~ChildProcess() {
        if (!status_)
            terminate();
        if (exitSignal_ >= 0)
            ::close(exitSignal_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool hasEnded() const {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno != EINTR; // ECHILD: nothing left to wait for
        return info.si_pid == pid_;
    }

    // Sleeps for the interval, or less when the program ends meanwhile.
    void waitFor(std::chrono::milliseconds interval) const {
        pollfd request{exitSignal_, POLLIN, 0};
        if (exitSignal_ < 0 || ::poll(&request, 1, static_cast<int>(interval.count())) < 0)
            std::this_thread::sleep_for(interval);
    }

    // SIGTERM to the program's process group, SIGKILL after the grace period; then reaped.
    void terminate() {
        ::kill(-pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + terminationGrace;
        while (!hasEnded() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(pollInterval);
        // Also whatever the program left running in its group.
        ::kill(-pid_, SIGKILL);
        reap();
    }

    // Waits for the end and gives the exit code: the exit status, 128 + the signal number for a
    // program killed by a signal, -1 when the status was lost (someone else reaped it).
    int reap() {
        if (!status_) {
            int status = 0;
            pid_t result;
            while ((result = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
            }
            status_ = result != pid_        ? -1
                      : WIFEXITED(status)   ? WEXITSTATUS(status)
                      : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                            : -1;
        }
        return *status_;
    }

  private:
    pid_t pid_;
    // Readable once the program has ended; -1 where the system has no such descriptor.
    int exitSignal_;
    std::optional<int> status_;
};

// Never blocks: a program that does not read its input cannot hang the operation.
void writePasswordIgnoringErrors(int fd, const std::string& password) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string line = password + "\n";
    writeIgnoringBrokenPipe(fd, line);
    secrets::wipe(line);
}

// rar reads a password typed outside ASCII only under a UTF-8 locale, and aborts under the
// C locale it falls back to when en_US.UTF-8 is not installed; C.UTF-8 is always there.
std::string programLocale() {
    static const std::string name = [] {
        if (const locale_t probe = ::newlocale(LC_ALL_MASK, "en_US.UTF-8", nullptr)) {
            ::freelocale(probe);
            return std::string("en_US.UTF-8");
        }
        return std::string("C.UTF-8");
    }();
    return name;
}

// Started with fork and exec because posix_spawn cannot ask for a death signal: the program
// must end with this process even when this one is killed outright. The child runs only system
// calls before exec, as the child of a threaded process must. Gives 0 or the errno of the
// failed step; the program runs in a process group of its own (a terminal's Ctrl-C is ours to
// turn into a cancellation, and a cancellation reaches everything it started), with standard
// input from `input` (the null device when -1), standard output to `output`, standard error
// to the null device, no signal state of ours, and SIGKILL when the calling thread ends.
int launch(const char* program, char* const argv[], char* const environment[],
           const char* directory, int input, int output, pid_t& pid) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    const pid_t parent = ::getpid();
    sigset_t all, previous;
    sigfillset(&all);
    // No handler of ours may run in the child before the dispositions are reset.
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid = ::fork();
    if (pid == 0) {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            ::sigaction(signal, &standard, nullptr);
        ::setpgid(0, 0);
        int error = 0;
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(127);
        const int in = input >= 0 ? input : ::open("/dev/null", O_RDONLY);
        const int discard = ::open("/dev/null", O_WRONLY);
        if (in < 0 || discard < 0 || ::dup2(in, STDIN_FILENO) < 0 ||
            ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(discard, STDERR_FILENO) < 0 ||
            ::chdir(directory) != 0) {
            error = errno;
        } else {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(program, argv, environment);
            error = errno;
        }
        (void)!::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return forkError;
    }
    // The report pipe closes at the exec; a number on it is the failed step's errno.
    int childError = 0;
    ssize_t count;
    while ((count = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (count > 0) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return childError != 0 ? childError : ECHILD;
    }
    return 0;
}

} // namespace

void validateRARPassword(const std::optional<std::string>& password, ArchiveFailure::Case kind) {
    if (!password)
        return;
    const auto refuse = [kind] {
        return ArchiveFailure::make(
            kind, "la contraseña debe tener entre 1 y 127 caracteres, sin saltos de línea.");
    };
    if (password->empty() || text::unicodeScalarCount(*password) >= 128 || hasLineBreak(*password))
        throw refuse();
}

RARCommand RARCommand::forCreation(std::filesystem::path executable) {
    return {std::move(executable),
            [](const std::string& message) { return ArchiveFailure::rarCreation(message); }};
}

RARCommand RARCommand::forEditing(std::filesystem::path executable) {
    return {std::move(executable),
            [](const std::string& message) { return ArchiveFailure::rarEdit(message); }};
}

void RARCommand::runRARCommand(const std::vector<std::string>& arguments,
                               const std::filesystem::path& workingDirectory,
                               const std::optional<std::string>& password,
                               std::int64_t progressUnits, Progress& progress) const {
    progress.throwIfCancelled();

    std::vector<std::string> words{executable.string()};
    if (!arguments.empty())
        words.push_back(arguments.front());
    words.insert(words.end(), {"-cfg-", "-idcd", "-y"});
    if (arguments.size() > 1)
        words.insert(words.end(), arguments.begin() + 1, arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string locale = programLocale();
    std::string lang = "LANG=" + locale, lcAll = "LC_ALL=" + locale;
    char* environment[] = {lang.data(), lcAll.data(), nullptr};

    RARPipe output;
    std::optional<RARPipe> input;
    if (password)
        input.emplace();

    RARPercentMeter meter;
    OutputReader reader(output.read, meter);
    pid_t pid = 0;
    const int launchError =
        launch(executable.c_str(), argv.data(), environment, workingDirectory.c_str(),
               input ? input->read : -1, output.write, pid);
    if (launchError != 0) {
        reader.remove();
        throw failure(
            "no se pudo ejecutar el comando RAR desde esta app: " +
            std::string(PlatformError::fromErrno(launchError, executable.string(), false).what()));
    }
    ChildProcess child(pid);
    // Only the program may hold these ends now, so that its exit ends the output.
    output.closeWrite();
    if (input) {
        input->closeRead();
        writePasswordIgnoringErrors(input->write, *password);
        input->closeWrite();
    }

    const std::int64_t base = progress.completedUnitCount();
    while (!child.hasEnded()) {
        if (progress.isCancelled()) {
            child.terminate();
            reader.remove();
            throw CancellationError();
        }
        // highest × units ÷ 100 without overflowing for huge unit counts.
        const std::int64_t highest = meter.highest();
        progress.setCompletedUnitCount(base + progressUnits / 100 * highest +
                                       progressUnits % 100 * highest / 100);
        child.waitFor(pollInterval);
    }
    const int code = child.reap();
    reader.remove();
    if (code == 0) {
        progress.setCompletedUnitCount(base + progressUnits);
        return;
    }
    if (code == 11)
        throw ArchiveFailure::wrongPassword();
    throwSystemFailureOfExit(code, arguments, workingDirectory);
    throw failure("el compresor terminó con el código " + std::to_string(code) + ".");
}

} // namespace vexa
