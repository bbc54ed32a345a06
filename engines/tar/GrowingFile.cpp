#include "GrowingFile.h"

#include "TarReadFailure.h"

namespace vexa::tar {

void GrowingFile::grew(std::int64_t length) {
    {
        std::lock_guard lock(mutex_);
        length_ = length;
    }
    changed_.notify_all();
}

void GrowingFile::finished() {
    {
        std::lock_guard lock(mutex_);
        complete_ = true;
    }
    changed_.notify_all();
}

void GrowingFile::abandoned() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
}

std::int64_t GrowingFile::waitBeyond(std::int64_t position, bool& complete) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || complete_ || length_ > position; });
    // The writer's own failure is what the user hears of; this one only ends the reader.
    if (abandoned_)
        throw damagedArchive();
    complete = complete_;
    return length_;
}

} // namespace vexa::tar
