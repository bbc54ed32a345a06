#include "engines/rar/RARChildSession.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARBridge.h"
#include "platform/Pipe.h"
#include "platform/PlatformError.h"
#include "platform/Processors.h"
#include "platform/ReadWrite.h"
#include "platform/Secrets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

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
    return std::clamp(platform::usableCores(), 1u, 4u);
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

    platform::Pipe input;
    platform::Pipe events;
    // Fewer wake-ups while data streams through.
    ::fcntl(events.write, F_SETPIPE_SZ, 1 << 20);

    platform::ProcessSpec spec;
    spec.program = rarReaderProgram();
    // The child checks that it was started by us.
    spec.arguments = {std::to_string(::getpid())};
    spec.standardInput = input.read;
    spec.descriptors = {{events.write, rarchild::eventDescriptor}};
    try {
        child_.emplace(spec);
    } catch (const PlatformError& error) {
        throw ArchiveFailure::rarFailure("no se pudo iniciar el lector de RAR: " +
                                         std::string(error.what()));
    }
    input.closeRead();
    events.closeWrite();
    events_ = events.read;
    events.read = -1;

    try {
        platform::writeIgnoringBrokenPipe(input.write, request.bytes);
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
    if (child_) {
        child_->kill();
        child_.reset();
    }
    if (events_ >= 0) {
        ::close(events_);
        events_ = -1;
    }
}

void RARChildSession::childEnded() {
    if (child_) {
        child_->wait();
        child_.reset();
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
        const ssize_t count =
            platform::readSome(events_, buffer_.data() + end_, buffer_.size() - end_);
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
    if (header.code == VXRarVolumeMissing)
        missing_ = text();
    if (header.code != VXRarSuccess)
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
            if (code == VXRarVolumeMissing)
                missing_ = text();
            return code;
        } else {
            childEnded();
        }
    }
}

} // namespace vexa
