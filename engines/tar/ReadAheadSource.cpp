#include "ReadAheadSource.h"

#include <algorithm>
#include <cstring>

namespace vexa::tar {

ReadAheadSource::ReadAheadSource(ByteSource& inner, std::size_t blockSize, std::size_t blockCount)
    : inner_(inner), blocks_(std::max<std::size_t>(blockCount, 2)) {
    for (Block& block : blocks_)
        block.bytes.resize(blockSize);
    thread_ = std::thread([this] { produce(); });
}

ReadAheadSource::~ReadAheadSource() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ReadAheadSource::produce() {
    for (std::size_t index = 0;; ++index) {
        Block& block = blocks_[index % blocks_.size()];
        {
            // Block `index` reuses the slot of block `index - count`, the one before the
            // reader's current block at the latest: the current one stays untouched.
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || index + 1 < filled_ + blocks_.size(); });
            if (stopping_)
                return;
        }
        std::exception_ptr failure;
        std::size_t size = 0;
        try {
            // Full blocks keep the reader's calls few; the inner source may give less.
            while (size < block.bytes.size()) {
                std::size_t count =
                    inner_.read(block.bytes.data() + size, block.bytes.size() - size);
                if (count == 0)
                    break;
                size += count;
            }
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            block.size = size;
            if (size > 0)
                ++produced_;
            if (failure || size < block.bytes.size()) {
                failure_ = failure;
                ended_ = true;
            }
        }
        changed_.notify_all();
        if (failure || size < block.bytes.size())
            return;
    }
}

bool ReadAheadSource::advance() {
    if (readerEnded_)
        return false;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return produced_ > filled_ || ended_; });
    if (produced_ == filled_) {
        readerEnded_ = true;
        current_ = nullptr;
        if (failure_)
            std::rethrow_exception(failure_);
        return false;
    }
    current_ = &blocks_[filled_ % blocks_.size()];
    position_ = 0;
    ++filled_;
    lock.unlock();
    changed_.notify_all();
    return true;
}

std::size_t ReadAheadSource::lend(const char** data) {
    while (current_ == nullptr || position_ == current_->size) {
        if (!advance())
            return 0;
    }
    *data = current_->bytes.data() + position_;
    std::size_t count = current_->size - position_;
    position_ = current_->size;
    return count;
}

std::size_t ReadAheadSource::read(char* buffer, std::size_t capacity) {
    if (capacity == 0)
        return 0;
    while (current_ == nullptr || position_ == current_->size) {
        if (!advance())
            return 0;
    }
    std::size_t count = std::min(capacity, current_->size - position_);
    std::memcpy(buffer, current_->bytes.data() + position_, count);
    position_ += count;
    return count;
}

} // namespace vexa::tar
