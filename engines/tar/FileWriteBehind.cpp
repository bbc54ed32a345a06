#include "FileWriteBehind.h"

#include "platform/FileOperations.h"

namespace vexa::tar {

FileWriteBehind::FileWriteBehind(int descriptor, std::filesystem::path location,
                                 std::size_t blockSize, std::size_t blockCount,
                                 std::function<void(std::int64_t)> wrote)
    : descriptor_(descriptor), location_(std::move(location)), blockSize_(blockSize),
      wrote_(std::move(wrote)), blocks_(std::max<std::size_t>(blockCount, 2)),
      lengths_(blocks_.size()) {
    for (std::vector<char>& block : blocks_)
        block.resize(blockSize_);
    thread_ = std::thread([this] { run(); });
}

FileWriteBehind::~FileWriteBehind() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void FileWriteBehind::rethrowFailure() {
    if (failure_)
        std::rethrow_exception(failure_);
}

char* FileWriteBehind::block() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || handed_ - written_ < blocks_.size(); });
    rethrowFailure();
    return blocks_[handed_ % blocks_.size()].data();
}

void FileWriteBehind::hand(std::size_t length) {
    if (length == 0)
        return;
    {
        std::lock_guard lock(mutex_);
        lengths_[handed_ % blocks_.size()] = length;
        ++handed_;
    }
    changed_.notify_all();
}

void FileWriteBehind::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || written_ == handed_; });
    rethrowFailure();
}

std::int64_t FileWriteBehind::length() const {
    std::lock_guard lock(mutex_);
    return length_;
}

void FileWriteBehind::run() {
    for (;;) {
        const char* data;
        std::size_t size;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || written_ < handed_; });
            if (stopping_)
                return;
            data = blocks_[written_ % blocks_.size()].data();
            size = lengths_[written_ % blocks_.size()];
        }
        std::int64_t length;
        try {
            files::writeAll(descriptor_, data, size, location_);
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        {
            std::lock_guard lock(mutex_);
            length = length_ += static_cast<std::int64_t>(size);
        }
        // Heard before the block counts as written, so that nothing is heard after finish().
        if (wrote_)
            wrote_(length);
        {
            std::lock_guard lock(mutex_);
            ++written_;
        }
        changed_.notify_all();
    }
}

} // namespace vexa::tar
