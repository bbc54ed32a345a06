#include "platform/BlockPipe.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vexa::platform {

BlockPipe::BlockPipe(std::size_t blockSize, std::size_t blockCount)
    : blockSize_(blockSize), blockCount_(std::max<std::size_t>(blockCount, 2)),
      memory_(std::make_unique_for_overwrite<char[]>(blockSize_ * blockCount_)),
      lengths_(std::make_unique<std::size_t[]>(blockCount_)),
      filled_(std::make_unique<bool[]>(blockCount_)) {}

char* BlockPipe::fillable() {
    std::unique_lock lock(mutex_);
    // A block taken but not given back yet is still the taker's.
    changed_.wait(
        lock, [this] { return stopped_ || emptyFailure_ || handed_ - returned_ < blockCount_; });
    if (emptyFailure_)
        std::rethrow_exception(emptyFailure_);
    if (stopped_)
        return nullptr;
    return memory_.get() + handed_ % blockCount_ * blockSize_;
}

void BlockPipe::hand(std::size_t length) {
    if (length == 0)
        return;
    {
        std::lock_guard lock(mutex_);
        lengths_[handed_ % blockCount_] = length;
        ++handed_;
    }
    changed_.notify_all();
}

std::optional<BlockPipe::Claim> BlockPipe::claim() {
    std::unique_lock lock(mutex_);
    changed_.wait(
        lock, [this] { return stopped_ || emptyFailure_ || claimed_ - returned_ < blockCount_; });
    if (emptyFailure_)
        std::rethrow_exception(emptyFailure_);
    if (stopped_)
        return std::nullopt;
    const std::uint64_t number = claimed_++;
    return Claim{memory_.get() + number % blockCount_ * blockSize_, number};
}

void BlockPipe::handClaimed(std::uint64_t number, std::size_t length) {
    {
        std::lock_guard lock(mutex_);
        lengths_[number % blockCount_] = length;
        filled_[number % blockCount_] = true;
        const std::uint64_t before = handed_;
        // Handed over in claiming order: a block filled early waits for those before it.
        while (handed_ < claimed_ && filled_[handed_ % blockCount_]) {
            filled_[handed_ % blockCount_] = false;
            ++handed_;
        }
        if (handed_ == before)
            return;
    }
    changed_.notify_all();
}

void BlockPipe::end(std::exception_ptr failure) {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        fillFailure_ = std::move(failure);
    }
    changed_.notify_all();
}

void BlockPipe::awaitEmptied() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || emptyFailure_ || returned_ == handed_; });
    if (emptyFailure_)
        std::rethrow_exception(emptyFailure_);
}

std::optional<std::span<char>> BlockPipe::take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || ended_ || taken_ < handed_; });
    if (stopped_)
        return std::nullopt;
    if (taken_ == handed_) {
        if (fillFailure_)
            std::rethrow_exception(std::exchange(fillFailure_, nullptr));
        return std::nullopt;
    }
    const std::size_t slot = taken_++ % blockCount_;
    return std::span<char>(memory_.get() + slot * blockSize_, lengths_[slot]);
}

void BlockPipe::giveBack() {
    {
        std::lock_guard lock(mutex_);
        ++returned_;
    }
    changed_.notify_all();
}

void BlockPipe::fail(std::exception_ptr failure) {
    {
        std::lock_guard lock(mutex_);
        emptyFailure_ = std::move(failure);
    }
    changed_.notify_all();
}

void BlockPipe::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

WriteBehind::WriteBehind(std::size_t blockSize, std::size_t blockCount,
                         std::function<void(const char*, std::size_t)> drain)
    : pipe_(blockSize, blockCount), drain_(std::move(drain)), thread_([this] { run(); }) {}

WriteBehind::~WriteBehind() {
    pipe_.stop();
}

char* WriteBehind::block() {
    // Stopped only by the destructor, so a block is always there for the caller.
    return pipe_.fillable();
}

void WriteBehind::run() {
    while (const auto block = pipe_.take()) {
        try {
            drain_(block->data(), block->size());
        } catch (...) {
            pipe_.fail(std::current_exception());
            return;
        }
        // Counted before the block is given back, so that finish() sees every byte.
        drained_ += static_cast<std::int64_t>(block->size());
        pipe_.giveBack();
    }
}

ReadAhead::ReadAhead(std::size_t blockSize, std::size_t blockCount,
                     std::function<std::size_t(char*, std::size_t)> fill)
    : pipe_(blockSize, blockCount), fill_(std::move(fill)), thread_([this] { run(); }) {}

ReadAhead::~ReadAhead() {
    pipe_.stop();
}

void ReadAhead::run() {
    for (;;) {
        char* block = pipe_.fillable();
        if (!block)
            return;
        std::exception_ptr failure;
        std::size_t size = 0;
        try {
            // Full blocks keep the reader's calls few; `fill` may give less at a time.
            while (size < pipe_.blockSize()) {
                const std::size_t count = fill_(block + size, pipe_.blockSize() - size);
                if (count == 0)
                    break;
                size += count;
            }
        } catch (...) {
            failure = std::current_exception();
        }
        pipe_.hand(size);
        if (failure || size < pipe_.blockSize()) {
            pipe_.end(failure);
            return;
        }
    }
}

bool ReadAhead::advance() {
    if (ended_)
        return false;
    if (holding_) {
        pipe_.giveBack();
        holding_ = false;
    }
    std::optional<std::span<char>> next;
    try {
        next = pipe_.take();
    } catch (...) {
        ended_ = true;
        throw;
    }
    if (!next) {
        ended_ = true;
        return false;
    }
    current_ = *next;
    holding_ = true;
    position_ = 0;
    return true;
}

std::size_t ReadAhead::lend(const char** data) {
    while (!holding_ || position_ == current_.size()) {
        if (!advance())
            return 0;
    }
    *data = current_.data() + position_;
    const std::size_t count = current_.size() - position_;
    position_ = current_.size();
    return count;
}

std::size_t ReadAhead::read(char* buffer, std::size_t capacity) {
    if (capacity == 0)
        return 0;
    while (!holding_ || position_ == current_.size()) {
        if (!advance())
            return 0;
    }
    const std::size_t count = std::min(capacity, current_.size() - position_);
    std::memcpy(buffer, current_.data() + position_, count);
    position_ += count;
    return count;
}

} // namespace vexa::platform
