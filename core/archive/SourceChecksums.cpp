#include "core/archive/SourceChecksums.h"

#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/ReadWrite.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vexa {

namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

SourceChecksums::Look::Look(const struct stat& status)
    : device(status.st_dev), inode(status.st_ino), size(status.st_size),
      modified(nanoseconds(status.st_mtim)), changed(nanoseconds(status.st_ctim)) {}

SourceChecksums::SourceChecksums(const SourceEntryMap& sources, const Progress& progress,
                                 std::chrono::nanoseconds settled, Early early)
    : progress_(progress), settled_(settled) {
    // Filled before the thread starts, which then only changes the values.
    for (const auto& [path, source] : sources)
        if (!source.isDirectory && source.size > 0)
            taken_.emplace_back(&source, Taken{});
    std::sort(taken_.begin(), taken_.end(),
              [](const auto& a, const auto& b) { return std::less<>()(a.first, b.first); });
    thread_ = std::thread([this, &sources, settled, early] { run(sources, settled, early); });
}

SourceChecksums::Taken* SourceChecksums::find(const RARSourceEntry& source) {
    const auto found = std::lower_bound(taken_.begin(), taken_.end(), &source,
                                        [](const auto& item, const RARSourceEntry* wanted) {
                                            return std::less<>()(item.first, wanted);
                                        });
    return found != taken_.end() && found->first == &source ? &found->second : nullptr;
}

void SourceChecksums::offer(const RARSourceEntry& source, std::uint32_t crc,
                            const struct stat& before, const struct stat& after,
                            const timespec& readAt) {
    Taken* const slot = find(source);
    // A file that grew or shrank since the walk was archived at its walked size: only a fresh
    // read may judge it.
    if (slot == nullptr || !S_ISREG(before.st_mode) || Look(before) != Look(after) ||
        before.st_size != source.size ||
        nanoseconds(before.st_ctim) + settled_.count() >= nanoseconds(readAt))
        return;
    // The thread leaves the values alone until the writer has ended.
    *slot = Taken{true, false, crc, Look(after)};
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
    if (block.empty())
        block.resize(262144);
    std::uint32_t crc = 0;
    for (;;) {
        if (stopping())
            return false;
        const ssize_t count = platform::readSome(file.get(), block.data(), block.size());
        if (count < 0)
            return true;
        if (count == 0)
            break;
        crc = platform::crc32(crc, block.data(), static_cast<std::size_t>(count));
    }
    struct stat after {};
    // A file written to while it was read gives no usable checksum.
    if (::fstat(file.get(), &after) == 0 && Look(before) == Look(after))
        taken = Taken{!final, final, static_cast<std::uint32_t>(crc), Look(after)};
    return true;
}

void SourceChecksums::run(const SourceEntryMap& sources, std::chrono::nanoseconds settled,
                          Early early) {
    std::vector<unsigned char> block;
    bool stopped = false;
    for (const auto& [path, source] : sources) {
        if (early == Early::offered)
            break;
        Taken* const slot = find(source);
        if (slot != nullptr && !take(source, *slot, settled, block)) {
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
    std::vector<std::pair<const RARSourceEntry*, Taken*>> pending;
    for (auto& [source, taken] : taken_)
        if (!taken.final)
            pending.emplace_back(source, &taken);
    std::atomic<std::size_t> claimed{0};
    const auto lookAgain = [&] {
        std::vector<unsigned char> own;
        for (;;) {
            const std::size_t index = claimed.fetch_add(1, std::memory_order_relaxed);
            if (index >= pending.size())
                return;
            auto& [source, taken] = pending[index];
            // Read while the writer ran: still valid only if the file looks the same now.
            struct stat now {};
            if (taken->early && ::stat(source->url.c_str(), &now) == 0 &&
                taken->look == Look(now)) {
                taken->final = true;
                continue;
            }
            *taken = Taken{};
            if (!take(*source, *taken, settled, own))
                return;
        }
    };
    // A look costs a walk of the file's path, and this one comes after the writer, when the
    // check waits for it: a few threads share a long list.
    platform::WorkerPool::process().run(1 + std::min<std::size_t>(pending.size() / 2048, 3),
                                        [&](std::size_t) { lookAgain(); });
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
    const Taken* const slot = find(source);
    if (slot != nullptr && slot->final) {
        progress.throwIfCancelled();
        progress.addCompletedUnits(slot->look.size);
        return slot->crc;
    }
    return crc32OfFile(source.url, progress);
}

} // namespace vexa
