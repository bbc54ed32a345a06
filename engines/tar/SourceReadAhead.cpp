#include "SourceReadAhead.h"

#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vexa::tar {

namespace {

constexpr std::uint64_t alignment = 64;

std::uint64_t aligned(std::uint64_t value) {
    return (value + alignment - 1) & ~(alignment - 1);
}

} // namespace

SourceReadAhead::SourceReadAhead(const SourceEntryMap& entries, const Progress& progress,
                                 std::size_t ringSize, std::size_t pieces, unsigned readers)
    : progress_(progress), entries_(entries), ring_(std::max(ringSize, 2 * pieceSize)),
      slots_(std::max<std::size_t>(pieces, 1)), nextEntry_(entries.begin()) {
    long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    unsigned count = std::clamp<unsigned>(processors > 0 ? static_cast<unsigned>(processors) : 1, 1,
                                          std::max(readers, 1u));
    try {
        for (unsigned i = 0; i < count; ++i)
            threads_.emplace_back([this] { run(); });
    } catch (...) {
        // The threads started take the work of those that could not.
        if (threads_.empty())
            throw;
    }
}

SourceReadAhead::~SourceReadAhead() {
    stop();
    for (std::thread& thread : threads_)
        thread.join();
}

void SourceReadAhead::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    space_.notify_all();
    arrived_.notify_all();
}

std::size_t SourceReadAhead::nextWanted() const {
    const RARSourceEntry& source = nextEntry_->second;
    if (source.isDirectory || source.size <= 0)
        return 0;
    return static_cast<std::size_t>(
        std::min<std::int64_t>(source.size - nextOffset_, static_cast<std::int64_t>(pieceSize)));
}

std::uint64_t SourceReadAhead::startFor(std::size_t wanted) const {
    // A piece lies in one run of the ring; one that would cross its end starts over at its
    // beginning.
    const std::uint64_t capacity = ring_.size();
    std::uint64_t start = reserved_;
    if (start % capacity + wanted > capacity)
        start += capacity - start % capacity;
    return start;
}

bool SourceReadAhead::claimable() const {
    if (nextEntry_ == entries_.end() || claimed_ - consumed_ >= slots_.size())
        return false;
    const std::size_t wanted = nextWanted();
    return startFor(wanted) + wanted - released_ <= ring_.size();
}

SourceReadAhead::Slot& SourceReadAhead::claim() {
    Slot& slot = slots_[claimed_ % slots_.size()];
    static_cast<Piece&>(slot) = Piece{};
    slot.index = claimed_++;
    slot.path = &nextEntry_->first;
    slot.source = &nextEntry_->second;
    slot.first = nextOffset_ == 0;
    slot.offset = nextOffset_;
    slot.wanted = nextWanted();
    slot.position = startFor(slot.wanted);
    reserved_ = aligned(slot.position + slot.wanted);
    nextOffset_ += static_cast<std::int64_t>(slot.wanted);
    slot.last = nextOffset_ >= slot.source->size;
    if (slot.last) {
        ++nextEntry_;
        nextOffset_ = 0;
    }
    return slot;
}

void SourceReadAhead::run() {
    // Small files are claimed a few at a time: one claim per file kept the readers and the
    // writer queueing for the lock.
    constexpr std::size_t batchCount = 16;
    Slot* batch[batchCount];
    for (;;) {
        std::size_t count = 0;
        {
            std::unique_lock lock(mutex_);
            space_.wait(
                lock, [this] { return stopping_ || nextEntry_ == entries_.end() || claimable(); });
            if (stopping_ || nextEntry_ == entries_.end())
                return;
            if (progress_.isCancelled()) {
                stopping_ = true;
                space_.notify_all();
                arrived_.notify_all();
                return;
            }
            std::size_t bytes = 0;
            do {
                batch[count] = &claim();
                bytes += batch[count++]->wanted;
            } while (count < batchCount && bytes < pieceSize && claimable());
        }
        for (std::size_t i = 0; i < count; ++i) {
            readPiece(*batch[i]);
            // Sequentially consistent with the writer's note of what it waits for: either it
            // sees the piece ready, or this sees it waiting.
            batch[i]->ready.store(true);
            if (awaited_.load() == batch[i]->index) {
                std::lock_guard lock(mutex_);
                arrived_.notify_one();
            }
        }
    }
}

void SourceReadAhead::readPiece(Slot& slot) {
    const RARSourceEntry& source = *slot.source;
    char* memory = ring_.data() + slot.position % ring_.size();
    ::clock_gettime(CLOCK_REALTIME_COARSE, &slot.readAt);
    if (source.isDirectory) {
        if (::lstat(source.url.c_str(), &slot.before) != 0)
            slot.failure = std::make_exception_ptr(
                PlatformError::fromErrno(errno, source.url.string(), false));
        return;
    }
    // Not blocked by a pipe put in the file's place since the walk; its mode and date come from
    // the open file, without looking its path up again.
    files::FileDescriptor file(
        ::open(source.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0 || ::fstat(file.get(), &slot.before) != 0) {
        slot.failure =
            std::make_exception_ptr(PlatformError::fromErrno(errno, source.url.string(), false));
        return;
    }
    std::size_t length = 0;
    while (length < slot.wanted) {
        ssize_t count = ::pread(file.get(), memory + length, slot.wanted - length,
                                slot.offset + static_cast<off_t>(length));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            slot.failure = std::make_exception_ptr(
                PlatformError::fromErrno(errno, source.url.string(), false));
            return;
        }
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    ::fstat(file.get(), &slot.after);
    slot.data = memory;
    slot.length = length;
}

void SourceReadAhead::publish() {
    released_ = releasedHere_;
    consumed_ = current_;
    space_.notify_all();
}

const SourceReadAhead::Piece* SourceReadAhead::next() {
    if (started_) {
        Slot& done = slots_[current_++ % slots_.size()];
        releasedHere_ = done.position + done.wanted;
        done.ready.store(false, std::memory_order_relaxed);
    }
    started_ = true;
    Slot& slot = slots_[current_ % slots_.size()];
    if (slot.ready.load(std::memory_order_acquire)) {
        // Only this thread changes what the readers were told, so it reads it without the lock.
        if (releasedHere_ - released_ >= ring_.size() / 8 ||
            current_ - consumed_ >= slots_.size() / 8) {
            std::lock_guard lock(mutex_);
            publish();
        }
        return &slot;
    }
    std::unique_lock lock(mutex_);
    publish();
    if (current_ == claimed_ && nextEntry_ == entries_.end())
        return nullptr;
    awaited_.store(current_);
    arrived_.wait(lock, [&] { return stopping_ || slot.ready.load(); });
    awaited_.store(nothing);
    if (!slot.ready.load()) {
        progress_.throwIfCancelled();
        throw CancellationError();
    }
    return &slot;
}

} // namespace vexa::tar
