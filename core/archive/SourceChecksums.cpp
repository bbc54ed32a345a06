#include "core/archive/SourceChecksums.h"

#include "platform/FileOperations.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace vexa {

namespace {

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

SourceChecksums::SourceChecksums(const SourceEntryMap& sources, std::chrono::nanoseconds settled) {
    // Filled before the thread starts: it only writes into entries that exist.
    for (const auto& [path, source] : sources)
        if (!source.isDirectory && source.size > 0)
            taken_.emplace(&source, Taken{});
    thread_ = std::thread([this, &sources, settled] { run(sources, settled); });
}

SourceChecksums::~SourceChecksums() {
    stop();
}

void SourceChecksums::finishReading() {
    if (thread_.joinable())
        thread_.join();
}

void SourceChecksums::stop() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void SourceChecksums::run(const SourceEntryMap& sources, std::chrono::nanoseconds settled) {
    std::vector<unsigned char> block(262144);
    for (const auto& [path, source] : sources) {
        const auto slot = taken_.find(&source);
        if (slot == taken_.end())
            continue;
        files::FileDescriptor file(::open(source.url.c_str(), O_RDONLY | O_CLOEXEC));
        // The clock file times are taken from, read before the file.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        struct stat before {};
        if (file.get() < 0 || ::fstat(file.get(), &before) != 0 ||
            nanoseconds(before.st_ctim) + settled.count() >= nanoseconds(now))
            continue;
        uLong crc = crc32(0L, Z_NULL, 0);
        bool whole = true;
        for (;;) {
            if (stopping_)
                return;
            const ssize_t count = ::read(file.get(), block.data(), block.size());
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0) {
                whole = false;
                break;
            }
            if (count == 0)
                break;
            crc = crc32(crc, block.data(), static_cast<uInt>(count));
        }
        struct stat after {};
        // A file written to while it was read gives no usable checksum.
        if (whole && ::fstat(file.get(), &after) == 0 && sameFile(before, after)) {
            slot->second = Taken{true, static_cast<std::uint32_t>(crc), after};
        }
    }
}

std::uint32_t SourceChecksums::crc(const RARSourceEntry& source, Progress& progress) {
    stop();
    const auto slot = taken_.find(&source);
    struct stat now {};
    if (slot != taken_.end() && slot->second.done && ::stat(source.url.c_str(), &now) == 0 &&
        sameFile(slot->second.status, now)) {
        progress.throwIfCancelled();
        progress.addCompletedUnits(now.st_size);
        return slot->second.crc;
    }
    return crc32OfFile(source.url, progress);
}

} // namespace vexa
