#include "ExtractionWriters.h"

#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::tar {

namespace {
constexpr std::size_t chunkSize = 256 * 1024;
// What a file costs beyond its data, so that a run of empty files also meets the budget.
constexpr std::size_t fileCost = 512;
// Small files are handed over in groups of this many files or bytes.
constexpr std::size_t gatherFiles = 64;
constexpr std::size_t gatherBytes = 1 << 20;
} // namespace

ExtractionWriters::ExtractionWriters(const ExtractionTree& tree, std::size_t threads,
                                     std::size_t budget)
    : tree_(tree), budget_(budget) {
    for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i)
        threads_.emplace_back([this] { work(); });
}

ExtractionWriters::~ExtractionWriters() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    chunkAvailable_.notify_all();
    roomAvailable_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

void ExtractionWriters::rethrowLocked() {
    if (failure_)
        std::rethrow_exception(failure_);
}

void ExtractionWriters::throwIfFailed() {
    std::lock_guard lock(mutex_);
    rethrowLocked();
}

void ExtractionWriters::begin(std::string relative, mode_t permissions,
                              std::optional<struct timespec> modificationTime, std::int64_t size) {
    current_ = std::make_shared<Job>();
    current_->relative = std::move(relative);
    current_->permissions = permissions;
    current_->modificationTime = modificationTime;
    remaining_ = size;
    filling_ = {};
    fillingUsed_ = 0;
}

void ExtractionWriters::flush(std::unique_lock<std::mutex>& lock) {
    if (gathered_.empty())
        return;
    for (std::shared_ptr<Job>& job : gathered_)
        queue_.push_back(std::move(job));
    gathered_.clear();
    gatheredBytes_ = 0;
    lock.unlock();
    workAvailable_.notify_all();
    lock.lock();
}

char* ExtractionWriters::reserve(std::size_t wanted, std::size_t& granted) {
    if (!filling_.bytes) {
        std::unique_lock lock(mutex_);
        if (pendingBytes_ >= budget_)
            flush(lock);
        roomAvailable_.wait(lock, [&] { return pendingBytes_ < budget_ || failure_ || stopping_; });
        rethrowLocked();
        lock.unlock();
        // A file's declared size sizes its one chunk; a longer file goes on in full chunks.
        std::size_t size =
            remaining_ > 0 ? std::min<std::size_t>(remaining_, chunkSize) : chunkSize;
        filling_.bytes.reset(new char[size]);
        filling_.size = size;
        fillingUsed_ = 0;
    }
    granted = std::min(wanted, filling_.size - fillingUsed_);
    return filling_.bytes.get() + fillingUsed_;
}

void ExtractionWriters::commit(std::size_t count) {
    fillingUsed_ += count;
    remaining_ -= static_cast<std::int64_t>(count);
    if (fillingUsed_ < filling_.size || remaining_ == 0)
        return; // a file's last chunk waits for end()
    std::unique_lock lock(mutex_);
    rethrowLocked();
    pendingBytes_ += filling_.size;
    current_->chunks.push_back(std::move(filling_));
    filling_ = {};
    fillingUsed_ = 0;
    // A file of several chunks is written while it is read.
    if (!current_->queued) {
        current_->queued = true;
        pendingBytes_ += fileCost;
        gathered_.push_back(current_);
        flush(lock);
    } else {
        lock.unlock();
        chunkAvailable_.notify_all();
    }
}

void ExtractionWriters::end() {
    std::unique_lock lock(mutex_);
    rethrowLocked();
    if (fillingUsed_ > 0) {
        filling_.size = fillingUsed_;
        pendingBytes_ += filling_.size;
        gatheredBytes_ += filling_.size;
        current_->chunks.push_back(std::move(filling_));
    }
    filling_ = {};
    fillingUsed_ = 0;
    current_->complete = true;
    if (current_->queued) {
        current_.reset();
        lock.unlock();
        chunkAvailable_.notify_all();
        return;
    }
    current_->queued = true;
    pendingBytes_ += fileCost;
    gathered_.push_back(std::move(current_));
    if (gathered_.size() >= gatherFiles || gatheredBytes_ >= gatherBytes)
        flush(lock);
}

void ExtractionWriters::finish() {
    std::unique_lock lock(mutex_);
    flush(lock);
    roomAvailable_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || failure_; });
    rethrowLocked();
}

void ExtractionWriters::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        std::shared_ptr<Job> job = queue_.front();
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        try {
            write(*job);
        } catch (...) {
            lock.lock();
            if (!failure_)
                failure_ = std::current_exception();
            // Nothing more is written once one file failed.
            stopping_ = true;
            queue_.clear();
            --busy_;
            lock.unlock();
            workAvailable_.notify_all();
            chunkAvailable_.notify_all();
            roomAvailable_.notify_all();
            return;
        }
        lock.lock();
        pendingBytes_ -= fileCost;
        --busy_;
        if (queue_.empty() || pendingBytes_ < budget_)
            roomAvailable_.notify_all();
    }
}

void ExtractionWriters::writeChunk(int descriptor, const Chunk& chunk,
                                   const std::string& relative) const {
    // The file's location is made only for a failure's message: for many small files, making
    // it for each cost as much as writing them.
    const char* bytes = chunk.bytes.get();
    std::size_t left = chunk.size;
    while (left > 0) {
        ssize_t count = ::write(descriptor, bytes, left);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw PlatformError::fromErrno(count < 0 ? errno : ENOSPC,
                                           tree_.locationOf(relative).string(), true);
        bytes += count;
        left -= static_cast<std::size_t>(count);
    }
}

void ExtractionWriters::write(Job& job) {
    files::FileDescriptor file = tree_.openNewFile(job.relative, job.permissions);
    for (;;) {
        Chunk chunk;
        {
            std::unique_lock lock(mutex_);
            chunkAvailable_.wait(lock,
                                 [&] { return stopping_ || !job.chunks.empty() || job.complete; });
            if (stopping_)
                return;
            if (job.chunks.empty())
                break;
            chunk = std::move(job.chunks.front());
            job.chunks.pop_front();
        }
        writeChunk(file.get(), chunk, job.relative);
        {
            std::lock_guard lock(mutex_);
            pendingBytes_ -= chunk.size;
        }
        roomAvailable_.notify_all();
    }
    if (job.modificationTime) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, *job.modificationTime};
        if (::futimens(file.get(), times) != 0)
            throw PlatformError::fromErrno(errno, tree_.locationOf(job.relative).string(), true);
    }
    file.close();
}

} // namespace vexa::tar
