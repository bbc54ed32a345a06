#include "ExtractionWriters.h"

#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::tar {

namespace {
constexpr std::size_t bufferSize = 1 << 20;
// Files up to this size travel whole in a group; larger ones are written while they are read.
constexpr std::int64_t groupedFileSize = 256 << 10;
// A group of many tiny files is handed over before its buffer fills, so that every thread has
// work early on.
constexpr std::size_t groupFiles = 128;
} // namespace

ExtractionWriters::ExtractionWriters(const ExtractionTree& tree, std::size_t threads,
                                     std::size_t budget)
    : tree_(tree), bufferCount_(std::max<std::size_t>(budget / bufferSize, 2)),
      cores_(platform::WorkerPool::process().borrow(threads)) {
    // One writer at least, even when the cores are all lent: the reader hands it every file.
    for (std::size_t i = 0; i < std::max<std::size_t>(cores_.count(), 1); ++i)
        threads_.emplace_back([this] { work(); });
}

ExtractionWriters::~ExtractionWriters() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        halted_ = true;
    }
    workAvailable_.notify_all();
    chunkAvailable_.notify_all();
    bufferAvailable_.notify_all();
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

void ExtractionWriters::fail(std::exception_ptr failure) {
    {
        std::lock_guard lock(mutex_);
        if (!failure_)
            failure_ = std::move(failure);
        // Nothing more is written once one file failed.
        halted_ = true;
        stopping_ = true;
        queue_.clear();
    }
    workAvailable_.notify_all();
    chunkAvailable_.notify_all();
    bufferAvailable_.notify_all();
    idle_.notify_all();
}

ExtractionWriters::Buffer ExtractionWriters::takeBuffer() {
    std::unique_lock lock(mutex_);
    bufferAvailable_.wait(
        lock, [&] { return !free_.empty() || allocated_ < bufferCount_ || failure_ || stopping_; });
    rethrowLocked();
    if (!free_.empty()) {
        Buffer buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    ++allocated_;
    lock.unlock();
    return Buffer(new char[bufferSize]);
}

void ExtractionWriters::giveBack(Buffer buffer) {
    {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(buffer));
    }
    bufferAvailable_.notify_one();
}

void ExtractionWriters::hand(Work work) {
    {
        std::lock_guard lock(mutex_);
        rethrowLocked();
        queue_.push_back(std::move(work));
    }
    workAvailable_.notify_one();
}

void ExtractionWriters::handGroup() {
    if (!group_)
        return;
    hand(Work{std::move(group_), nullptr});
    groupUsed_ = 0;
}

void ExtractionWriters::begin(std::string relative, mode_t permissions,
                              std::optional<struct timespec> modificationTime, std::int64_t size) {
    if (halted_)
        throwIfFailed();
    File file{0, permissions, modificationTime, 0, 0};
    if (size >= 0 && size <= groupedFileSize) {
        if (group_ && (group_->files.size() >= groupFiles ||
                       bufferSize - groupUsed_ < static_cast<std::size_t>(size)))
            handGroup();
        if (!group_) {
            group_ = std::make_unique<Group>();
            group_->buffer = takeBuffer();
        }
        file.name = group_->names.size();
        group_->names.append(relative).push_back('\0');
        file.offset = groupUsed_;
        group_->files.push_back(file);
        return;
    }
    // Files before it are handed over first, so the threads are not left waiting for them.
    handGroup();
    stream_ = std::make_shared<Stream>();
    stream_->relative = std::move(relative);
    stream_->file = file;
    hand(Work{nullptr, stream_});
}

char* ExtractionWriters::reserve(std::size_t wanted, std::size_t& granted) {
    if (stream_) {
        if (chunk_ && chunkUsed_ == bufferSize)
            pushChunk();
        if (!chunk_) {
            chunk_ = takeBuffer();
            chunkUsed_ = 0;
        }
        granted = std::min(wanted, bufferSize - chunkUsed_);
        return chunk_.get() + chunkUsed_;
    }
    // A small file's room was set aside by begin(): its group's buffer held its whole size.
    granted = std::min(wanted, bufferSize - groupUsed_);
    return group_->buffer.get() + groupUsed_;
}

void ExtractionWriters::commit(std::size_t count) {
    if (stream_)
        chunkUsed_ += count;
    else
        groupUsed_ += count;
}

void ExtractionWriters::pushChunk() {
    {
        std::lock_guard lock(mutex_);
        rethrowLocked();
        stream_->chunks.emplace_back(std::move(chunk_), chunkUsed_);
    }
    chunkAvailable_.notify_all();
    chunk_.reset();
    chunkUsed_ = 0;
}

void ExtractionWriters::end() {
    if (!stream_) {
        File& file = group_->files.back();
        file.size = groupUsed_ - file.offset;
        return;
    }
    if (chunk_ && chunkUsed_ > 0)
        pushChunk();
    else if (chunk_)
        giveBack(std::move(chunk_));
    {
        std::lock_guard lock(mutex_);
        stream_->complete = true;
    }
    chunkAvailable_.notify_all();
    stream_.reset();
}

void ExtractionWriters::finish() {
    handGroup();
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return (queue_.empty() && busy_ == 0) || failure_; });
    rethrowLocked();
}

void ExtractionWriters::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        Work work = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        Buffer buffer;
        try {
            if (work.group) {
                writeGroup(*work.group);
                buffer = std::move(work.group->buffer);
            } else {
                writeStream(*work.stream);
            }
        } catch (...) {
            fail(std::current_exception());
            return;
        }
        work = {};
        lock.lock();
        --busy_;
        if (buffer) {
            free_.push_back(std::move(buffer));
            bufferAvailable_.notify_one();
        }
        if (queue_.empty() && busy_ == 0)
            idle_.notify_all();
    }
}

void ExtractionWriters::writeBytes(int descriptor, const char* bytes, std::size_t count,
                                   const std::string& relative) const {
    // The file's location is made only for a failure's message: for many small files, making
    // it for each cost as much as writing them.
    if (const int error = platform::writeFully(descriptor, bytes, count))
        throw PlatformError::fromErrno(error, tree_.locationOf(relative).string(), true);
}

void ExtractionWriters::close(files::FileDescriptor file, const File& meta,
                              const std::string& relative) const {
    if (meta.modificationTime) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, *meta.modificationTime};
        if (::futimens(file.get(), times) != 0)
            throw PlatformError::fromErrno(errno, tree_.locationOf(relative).string(), true);
    }
    file.close();
}

void ExtractionWriters::writeGroup(Group& group) {
    std::string relative;
    for (const File& file : group.files) {
        if (halted_)
            return;
        relative.assign(group.names.data() + file.name);
        files::FileDescriptor descriptor = tree_.openNewFile(relative, file.permissions);
        writeBytes(descriptor.get(), group.buffer.get() + file.offset, file.size, relative);
        close(std::move(descriptor), file, relative);
    }
}

void ExtractionWriters::writeStream(Stream& stream) {
    files::FileDescriptor descriptor = tree_.openNewFile(stream.relative, stream.file.permissions);
    for (;;) {
        std::pair<Buffer, std::size_t> chunk;
        {
            std::unique_lock lock(mutex_);
            chunkAvailable_.wait(
                lock, [&] { return stopping_ || !stream.chunks.empty() || stream.complete; });
            if (stopping_)
                return;
            if (stream.chunks.empty())
                break;
            chunk = std::move(stream.chunks.front());
            stream.chunks.pop_front();
        }
        writeBytes(descriptor.get(), chunk.first.get(), chunk.second, stream.relative);
        giveBack(std::move(chunk.first));
    }
    close(std::move(descriptor), stream.file, stream.relative);
}

} // namespace vexa::tar
