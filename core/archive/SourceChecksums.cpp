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

SourceChecksums::SourceChecksums(const SourceEntryMap& sources, const Progress& progress,
                                 std::chrono::nanoseconds settled)
    : progress_(progress) {
    // Filled before the thread starts, which then only changes the values.
    for (const auto& [path, source] : sources)
        if (!source.isDirectory && source.size > 0)
            taken_.emplace(&source, Taken{});
    thread_ = std::thread([this, &sources, settled] { run(sources, settled); });
}

SourceChecksums::~SourceChecksums() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SourceChecksums::writerEnded() {
    {
        std::lock_guard lock(mutex_);
        writerEnded_ = true;
    }
    changed_.notify_all();
}

bool SourceChecksums::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_ || progress_.isCancelled();
}

bool SourceChecksums::take(const RARSourceEntry& source, Taken& taken,
                           std::chrono::nanoseconds settled, std::vector<unsigned char>& block) {
    bool final;
    {
        std::lock_guard lock(mutex_);
        final = writerEnded_;
    }
    // Not blocked by a pipe put in the file's place since the walk.
    files::FileDescriptor file(::open(source.url.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    // The clock file times come from, read before the file.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat before {};
    if (file.get() < 0 || ::fstat(file.get(), &before) != 0 || !S_ISREG(before.st_mode) ||
        (!final && nanoseconds(before.st_ctim) + settled.count() >= nanoseconds(now)))
        return true;
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        if (stopping())
            return false;
        const ssize_t count = ::read(file.get(), block.data(), block.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return true;
        if (count == 0)
            break;
        crc = crc32(crc, block.data(), static_cast<uInt>(count));
    }
    struct stat after {};
    // A file written to while it was read gives no usable checksum.
    if (::fstat(file.get(), &after) == 0 && sameFile(before, after))
        taken = Taken{!final, final, static_cast<std::uint32_t>(crc), after};
    return true;
}

void SourceChecksums::run(const SourceEntryMap& sources, std::chrono::nanoseconds settled) {
    std::vector<unsigned char> block(262144);
    bool stopped = false;
    for (const auto& [path, source] : sources) {
        const auto slot = taken_.find(&source);
        if (slot != taken_.end() && !take(source, slot->second, settled, block)) {
            stopped = true;
            break;
        }
    }
    {
        std::unique_lock lock(mutex_);
        readOnce_ = true;
        changed_.notify_all();
        if (stopped)
            return;
        changed_.wait(lock, [this] { return writerEnded_ || stopping_; });
        if (stopping_)
            return;
    }
    for (auto& [source, taken] : taken_) {
        if (taken.final)
            continue;
        // Read while the writer ran: still valid only if the file looks the same now.
        struct stat now {};
        if (taken.early && ::stat(source->url.c_str(), &now) == 0 && sameFile(taken.status, now)) {
            taken.final = true;
            continue;
        }
        taken = Taken{};
        if (!take(*source, taken, settled, block))
            return;
    }
}

void SourceChecksums::waitUntilRead() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return readOnce_; });
}

void SourceChecksums::finish() {
    writerEnded();
    if (thread_.joinable())
        thread_.join();
}

std::uint32_t SourceChecksums::crc(const RARSourceEntry& source, Progress& progress) {
    finish();
    const auto slot = taken_.find(&source);
    if (slot != taken_.end() && slot->second.final) {
        progress.throwIfCancelled();
        progress.addCompletedUnits(slot->second.status.st_size);
        return slot->second.crc;
    }
    return crc32OfFile(source.url, progress);
}

} // namespace vexa
