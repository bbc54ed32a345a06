// vexa-rar-reader: walks one RAR archive through the RAR bridge for the engine that started it.
// libunrar has crashed on small forged archives; here a crash ends this process only, and the
// engine reports the archive as damaged. The exchange is described in RARChildProtocol.h.

#include "engines/rar/RARBridge.h"
#include "engines/rar/RARChildProtocol.h"
#include "platform/Crc32.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

using namespace vexa::rarchild;

[[noreturn]] void quit() {
    // The engine has gone or stopped listening: nothing is left to do.
    _exit(1);
}

class RequestReader {
  public:
    RequestReader() {
        char block[65536];
        for (;;) {
            const ssize_t count = vexa::platform::readSome(STDIN_FILENO, block, sizeof block);
            if (count < 0)
                quit();
            if (count == 0)
                break;
            bytes_.append(block, static_cast<std::size_t>(count));
        }
    }
    ~RequestReader() {
        volatile char* p = bytes_.data();
        for (std::size_t i = 0; i < bytes_.size(); ++i)
            p[i] = 0;
    }

    template <typename T> T number() {
        T value;
        take(&value, sizeof value);
        return value;
    }
    std::string text() {
        const auto length = number<std::uint32_t>();
        if (length > bytes_.size() - at_)
            quit();
        std::string value(bytes_.data() + at_, length);
        at_ += length;
        return value;
    }

  private:
    void take(void* target, std::size_t size) {
        if (size > bytes_.size() - at_)
            quit();
        std::memcpy(target, bytes_.data() + at_, size);
        at_ += size;
    }
    std::string bytes_;
    std::size_t at_ = 0;
};

// Events are gathered in one buffer and written in large blocks, so that a walk over many
// small entries costs few system calls; a slow entry still reports its progress regularly.
class EventWriter {
  public:
    template <typename T> void number(T value) { append(&value, sizeof value); }
    void text(const char* value) {
        const auto length = static_cast<std::uint32_t>(std::strlen(value));
        number(length);
        append(value, length);
    }
    void event(Event kind) { number(static_cast<char>(kind)); }

    void data(const std::uint8_t* bytes, std::uint32_t length) {
        event(dataEvent);
        number(length);
        if (length > sizeof buffer_ - used_) {
            flush();
            writeAll(bytes, length);
        } else {
            append(bytes, length);
        }
        flushWhenDue();
    }

    void flushWhenDue() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        const long long milliseconds = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
        if (milliseconds - lastFlush_ >= 50)
            flush();
    }

    void flush() {
        writeAll(buffer_, used_);
        used_ = 0;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
        lastFlush_ = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    }

  private:
    void append(const void* bytes, std::size_t size) {
        if (size > sizeof buffer_ - used_)
            flush();
        std::memcpy(buffer_ + used_, bytes, size);
        used_ += size;
    }
    static void writeAll(const void* bytes, std::size_t size) {
        if (vexa::platform::writeFully(eventDescriptor, bytes, size) != 0)
            quit();
    }

    char buffer_[1 << 18];
    std::size_t used_ = 0;
    long long lastFlush_ = 0;
};

struct Walk {
    Test test = Test::none;
    Data data = Data::drop;
    bool sendEverything = false;
    std::unordered_set<std::string> wanted;
    EventWriter out;
    // Set per entry.
    Data entryData = Data::drop;
    std::uint32_t crc = 0;
    std::int32_t volumesSent = 0;
    // This walker tests entry n (counted without continuations) when n % shards == shard.
    std::uint32_t shard = 0;
    std::uint32_t shards = 1;
    std::uint64_t ordinal = 0;
};

std::int32_t receive(void* user, const std::uint8_t* bytes, std::int32_t length) {
    auto* walk = static_cast<Walk*>(user);
    if (bytes == nullptr || length < 1)
        return 1;
    const auto size = static_cast<std::uint32_t>(length);
    switch (walk->entryData) {
    case Data::send:
        walk->out.data(bytes, size);
        break;
    case Data::checksum:
        walk->crc = vexa::platform::crc32(walk->crc, bytes, size);
        walk->out.event(countEvent);
        walk->out.number(size);
        walk->out.flushWhenDue();
        break;
    case Data::drop:
        break;
    }
    return 1;
}

void sendNewVolumes(VXRarHandle* handle, Walk& walk) {
    const std::int32_t count = VXRarVolumeCount(handle);
    for (; walk.volumesSent < count; ++walk.volumesSent) {
        walk.out.event(volumeEvent);
        walk.out.text(VXRarVolumeName(handle, walk.volumesSent));
    }
}

bool shouldTest(const Walk& walk, std::uint32_t flags) {
    const bool folder = (flags & VXRarEntryDirectory) != 0;
    switch (walk.test) {
    case Test::none:
        return false;
    case Test::encryptedFiles:
        return !folder && (flags & VXRarEntryEncrypted) != 0;
    case Test::files:
        return !folder;
    case Test::all:
        return true;
    }
    return false;
}

// The path as the engine lists it, to match the wanted ones.
std::string listedPath(VXRarHandle* handle, std::uint32_t flags) {
    std::string path = VXRarEntryName(handle);
    if ((flags & VXRarEntryDirectory) != 0 && !path.empty() && path.back() != '/')
        path += '/';
    return path;
}

void walkEntries(VXRarHandle* handle, Walk& walk) {
    for (;;) {
        std::int32_t code = VXRarNextHeader(handle);
        sendNewVolumes(handle, walk);
        walk.out.event(headerEvent);
        walk.out.number(code);
        if (code == VXRarVolumeMissing)
            walk.out.text(VXRarMissingVolume(handle));
        if (code != VXRarSuccess)
            return;
        const std::uint32_t flags = VXRarEntryFlags(handle);
        walk.out.number(flags);
        walk.out.number(VXRarEntryUnpackedSize(handle));
        walk.out.number(VXRarEntryPackedSize(handle));
        walk.out.number(VXRarEntryMode(handle));
        walk.out.number(VXRarEntryModTime(handle));
        walk.out.text(VXRarEntryName(handle));

        bool test = false;
        if ((flags & VXRarEntryContinuedBefore) == 0)
            test = walk.ordinal++ % walk.shards == walk.shard && shouldTest(walk, flags);
        walk.entryData = Data::drop;
        if (test && walk.data == Data::send)
            walk.entryData = walk.sendEverything || walk.wanted.contains(listedPath(handle, flags))
                                 ? Data::send
                                 : Data::drop;
        else if (test)
            walk.entryData = walk.data;
        walk.crc = 0;
        code = VXRarProcessEntry(handle, test ? 1 : 0);
        sendNewVolumes(handle, walk);
        walk.out.event(processedEvent);
        walk.out.number(code);
        walk.out.number(walk.crc);
        if (code == VXRarVolumeMissing)
            walk.out.text(VXRarMissingVolume(handle));
    }
}

} // namespace

int main(int argc, char** argv) {
    // Dies with the engine's process; the engine's pid comes as the only argument, in case it
    // ended before this line ran.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2 || ::getppid() != static_cast<pid_t>(std::atoll(argv[1])))
        return 1;
    // Neither a core file of a crash nor a look into memory that held a password.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0);
    // With TZ unset the C library reads /etc/localtime again for every time the library
    // converts; named once, it is read once.
    if (std::getenv("TZ") == nullptr)
        ::setenv("TZ", ":/etc/localtime", 1);
    ::tzset();

    Walk walk;
    std::string archive;
    std::string password;
    bool hasPassword = false;
    {
        RequestReader request;
        if (request.number<std::uint32_t>() != requestMagic)
            return 1;
        archive = request.text();
        hasPassword = request.number<std::uint8_t>() != 0;
        if (hasPassword)
            password = request.text();
        walk.test = static_cast<Test>(request.number<std::uint8_t>());
        walk.data = static_cast<Data>(request.number<std::uint8_t>());
        walk.sendEverything = request.number<std::uint8_t>() != 0;
        walk.shard = request.number<std::uint8_t>();
        walk.shards = std::max<std::uint32_t>(1, request.number<std::uint8_t>());
        const auto count = request.number<std::uint32_t>();
        for (std::uint32_t i = 0; i < count; ++i)
            walk.wanted.insert(request.text());
    }

    std::int32_t error = 0;
    VXRarHandle* handle = VXRarOpen(archive.c_str(), hasPassword ? password.c_str() : nullptr,
                                    receive, &walk, &error);
    // The bridge keeps its own copy for the library's questions.
    volatile char* secret = password.data();
    for (std::size_t i = 0; i < password.size(); ++i)
        secret[i] = 0;

    const std::uint32_t flags = handle != nullptr ? VXRarArchiveFlags(handle) : 0;
    // The engine starts every walker before it knows whether they can share the archive; for
    // one they cannot, the first walks it whole and the others only answer the open.
    const bool idle = walkedAlone(flags) && walk.shard != 0;
    if (walkedAlone(flags)) {
        walk.shard = 0;
        walk.shards = 1;
    }
    walk.out.event(openEvent);
    walk.out.number(error);
    walk.out.number(flags);
    if (handle != nullptr) {
        if (!idle)
            walkEntries(handle, walk);
        VXRarClose(handle);
    }
    walk.out.event(endEvent);
    walk.out.flush();
    return 0;
}
