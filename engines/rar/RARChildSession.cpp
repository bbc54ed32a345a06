#include "engines/rar/RARChildSession.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARPipe.h"
#include "platform/PlatformError.h"
#include "platform/Secrets.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vexa {

namespace {

constexpr std::size_t bufferSize = 1 << 18;
constexpr int pollMilliseconds = 50;

bool isExecutable(const std::filesystem::path& location) {
    return ::access(location.c_str(), X_OK) == 0;
}

class Request {
  public:
    template <typename T> void number(T value) {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void text(std::string_view value) {
        number(static_cast<std::uint32_t>(value.size()));
        bytes.append(value);
    }
    ~Request() { secrets::wipe(bytes); }
    std::string bytes;
};

class SpawnSettings {
  public:
    SpawnSettings() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

std::filesystem::path findReaderProgram() {
    const std::filesystem::path name = "vexa-rar-reader";
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        if (isExecutable(self.parent_path() / name))
            return self.parent_path() / name;
        const std::filesystem::path installed =
            self.parent_path().parent_path() / VEXA_RAR_READER_LIBEXEC / name;
        if (isExecutable(installed))
            return installed;
    }
    return VEXA_RAR_READER_BUILD_PATH;
}

} // namespace

unsigned rarWalkerCount() {
    // libunrar spends most of a walk over many small entries on each entry's own set-up, so
    // walkers on other cores pay off; more than four mostly add memory.
    return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

std::filesystem::path rarReaderProgram() {
    static const std::filesystem::path program = findReaderProgram();
    return program;
}

RARChildSession::RARChildSession(const std::filesystem::path& archive,
                                 const std::optional<std::string>& password,
                                 const RARWalkPlan& plan, unsigned shard, Progress& progress)
    : progress_(progress), buffer_(bufferSize) {
    Request request;
    request.number(rarchild::requestMagic);
    request.text(archive.string());
    request.number(static_cast<std::uint8_t>(password ? 1 : 0));
    if (password)
        request.text(*password);
    request.number(static_cast<std::uint8_t>(plan.test));
    request.number(static_cast<std::uint8_t>(plan.data));
    request.number(static_cast<std::uint8_t>(plan.sendEverything ? 1 : 0));
    request.number(static_cast<std::uint8_t>(shard));
    request.number(static_cast<std::uint8_t>(plan.shards));
    request.number(static_cast<std::uint32_t>(plan.sendEverything ? 0 : plan.wanted.size()));
    if (!plan.sendEverything)
        for (const auto& path : plan.wanted)
            request.text(path);

    RARPipe input;
    RARPipe events;
    // Fewer wake-ups while data streams through.
    ::fcntl(events.write, F_SETPIPE_SZ, 1 << 20);

    SpawnSettings spawn;
    posix_spawn_file_actions_adddup2(&spawn.actions, input.read, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&spawn.actions, events.write, rarchild::eventDescriptor);
    posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // A process group of its own: a terminal's Ctrl-C is ours to turn into a cancellation,
    // not a crash of the child.
    sigset_t noSignals, allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&spawn.attributes, &noSignals);
    posix_spawnattr_setsigdefault(&spawn.attributes, &allSignals);
    posix_spawnattr_setpgroup(&spawn.attributes, 0);
    posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSIGDEF);

    const std::string program = rarReaderProgram().string();
    std::string parent = std::to_string(::getpid());
    char* argv[] = {const_cast<char*>(program.c_str()), parent.data(), nullptr};
    const int launchError =
        ::posix_spawn(&pid_, program.c_str(), &spawn.actions, &spawn.attributes, argv, environ);
    if (launchError != 0) {
        pid_ = -1;
        throw ArchiveFailure::rarFailure(
            "no se pudo iniciar el lector de RAR: " +
            std::string(PlatformError::fromErrno(launchError, program, false).what()));
    }
    input.closeRead();
    events.closeWrite();
    events_ = events.read;
    events.read = -1;

    try {
        writeIgnoringBrokenPipe(input.write, request.bytes);
        input.closeWrite();
    } catch (...) {
        stop();
        throw;
    }
}

std::int32_t RARChildSession::awaitOpen() {
    try {
        if (nextEvent() != rarchild::openEvent)
            childEnded();
        openError_ = number<std::int32_t>();
        archiveFlags_ = number<std::uint32_t>();
    } catch (...) {
        stop();
        throw;
    }
    return openError_;
}

RARChildSession::~RARChildSession() {
    stop();
}

void RARChildSession::stop() noexcept {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (events_ >= 0) {
        ::close(events_);
        events_ = -1;
    }
}

void RARChildSession::childEnded() {
    int status = 0;
    if (pid_ > 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    stop();
    throw ArchiveFailure::rarFailure(
        "Archivo dañado: el lector de RAR se detuvo de forma inesperada.");
}

void RARChildSession::fill(std::size_t wanted) {
    if (end_ - start_ >= wanted)
        return;
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    while (end_ < wanted) {
        if (events_ < 0)
            childEnded();
        pollfd request{events_, POLLIN, 0};
        const int ready = ::poll(&request, 1, pollMilliseconds);
        if (progress_.isCancelled()) {
            stop();
            throw CancellationError();
        }
        if (ready < 0 && errno != EINTR)
            childEnded();
        if (ready <= 0)
            continue;
        const ssize_t count = ::read(events_, buffer_.data() + end_, buffer_.size() - end_);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            childEnded();
        end_ += static_cast<std::size_t>(count);
    }
}

void RARChildSession::read(void* target, std::size_t size) {
    fill(size);
    std::memcpy(target, buffer_.data() + start_, size);
    start_ += size;
}

std::string RARChildSession::text() {
    const auto length = number<std::uint32_t>();
    if (length > rarchild::maximumText)
        childEnded();
    fill(length);
    std::string value(buffer_.data() + start_, length);
    start_ += length;
    return value;
}

char RARChildSession::nextEvent() {
    for (;;) {
        const char kind = number<char>();
        if (kind != rarchild::volumeEvent)
            return kind;
        std::string volume = text();
        if (volumes_.empty() || volumes_.back() != volume)
            volumes_.push_back(std::move(volume));
    }
}

RARChildSession::Header RARChildSession::nextHeader() {
    if (nextEvent() != rarchild::headerEvent)
        childEnded();
    Header header;
    header.code = number<std::int32_t>();
    if (header.code == 1003)
        missing_ = text();
    if (header.code != 0)
        return header;
    header.flags = number<std::uint32_t>();
    header.unpackedSize = number<std::int64_t>();
    header.packedSize = number<std::int64_t>();
    header.mode = number<std::uint32_t>();
    header.modificationTime = number<std::int64_t>();
    header.name = text();
    return header;
}

std::int32_t RARChildSession::processEntry(RARStreamContext& context) {
    for (;;) {
        const char kind = nextEvent();
        if (kind == rarchild::dataEvent) {
            auto remaining = number<std::uint32_t>();
            while (remaining > 0) {
                fill(1);
                const auto size =
                    static_cast<std::uint32_t>(std::min<std::size_t>(remaining, end_ - start_));
                const std::int32_t answer =
                    context.receive(reinterpret_cast<const std::uint8_t*>(buffer_.data()) + start_,
                                    static_cast<std::int32_t>(size));
                start_ += size;
                remaining -= size;
                if (answer < 0) {
                    // The library would have stopped here; the child is stopped instead.
                    stop();
                    return -1;
                }
            }
        } else if (kind == rarchild::countEvent) {
            context.progress.addCompletedUnits(number<std::uint32_t>());
        } else if (kind == rarchild::processedEvent) {
            const auto code = number<std::int32_t>();
            const auto crc = number<std::uint32_t>();
            if (context.tally)
                context.crc = crc;
            if (code == 1003)
                missing_ = text();
            return code;
        } else {
            childEnded();
        }
    }
}

} // namespace vexa
