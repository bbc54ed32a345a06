#include "engines/rar/RARCommand.h"

#include "engines/rar/RARPercentMeter.h"
#include "platform/ChildProcess.h"
#include "platform/Pipe.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"
#include "platform/Secrets.h"
#include "platform/TextRules.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <locale.h>
#include <mutex>
#include <poll.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace vexa {

namespace {

constexpr auto pollInterval = std::chrono::milliseconds(50);

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
            const ssize_t count = platform::readSome(fd, block, sizeof block);
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

// Never blocks: a program that does not read its input cannot hang the operation.
void writePasswordIgnoringErrors(int fd, const std::string& password) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string line = password + "\n";
    platform::writeIgnoringBrokenPipe(fd, line);
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

    const std::string locale = programLocale();

    platform::Pipe output;
    std::optional<platform::Pipe> input;
    if (password)
        input.emplace();

    platform::ProcessSpec spec;
    spec.program = executable;
    if (!arguments.empty())
        spec.arguments.push_back(arguments.front());
    spec.arguments.insert(spec.arguments.end(), {"-cfg-", "-idcd", "-y"});
    if (arguments.size() > 1)
        spec.arguments.insert(spec.arguments.end(), arguments.begin() + 1, arguments.end());
    spec.environment = {"LANG=" + locale, "LC_ALL=" + locale};
    spec.workingDirectory = workingDirectory;
    spec.standardInput = input ? input->read : platform::ProcessSpec::nullDevice;
    spec.standardOutput = output.write;

    RARPercentMeter meter;
    OutputReader reader(output.read, meter);
    std::optional<platform::ChildProcess> started;
    try {
        started.emplace(spec);
    } catch (const PlatformError& error) {
        reader.remove();
        throw failure("no se pudo ejecutar el comando RAR desde esta app: " +
                      std::string(error.what()));
    }
    platform::ChildProcess& child = *started;
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
    const int code = child.wait();
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
