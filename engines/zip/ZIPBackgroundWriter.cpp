#include "engines/zip/ZIPBackgroundWriter.h"

#include "platform/Crc32.h"
#include "platform/FileOperations.h"

namespace vexa {

ZIPBackgroundWriter::ZIPBackgroundWriter(int fd, std::filesystem::path location, Progress& progress)
    : fd_(fd), location_(std::move(location)), progress_(progress) {
    for (auto& piece : pieces_)
        piece = std::make_unique_for_overwrite<unsigned char[]>(pieceSize);
    thread_ = std::jthread([this] { run(); });
}

ZIPBackgroundWriter::~ZIPBackgroundWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

unsigned char* ZIPBackgroundWriter::piece() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || submitted_ - written_ < pieceCount; });
    if (failure_)
        std::rethrow_exception(failure_);
    return pieces_[submitted_ % pieceCount].get();
}

void ZIPBackgroundWriter::submit(std::size_t length) {
    {
        std::lock_guard lock(mutex_);
        lengths_[submitted_ % pieceCount] = length;
        ++submitted_;
    }
    changed_.notify_all();
}

std::uint32_t ZIPBackgroundWriter::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || written_ == submitted_; });
    if (failure_)
        std::rethrow_exception(failure_);
    return crc_;
}

void ZIPBackgroundWriter::run() {
    std::uint32_t crc = 0;
    try {
        while (true) {
            std::size_t index = 0;
            std::size_t length = 0;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || written_ < submitted_; });
                if (stopping_)
                    return;
                index = written_ % pieceCount;
                length = lengths_[index];
            }
            const unsigned char* data = pieces_[index].get();
            crc = platform::crc32(crc, data, length);
            files::writeAll(fd_, data, length, location_);
            progress_.addCompletedUnits(static_cast<std::int64_t>(length));
            {
                std::lock_guard lock(mutex_);
                ++written_;
                crc_ = static_cast<std::uint32_t>(crc);
            }
            changed_.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
        }
        changed_.notify_all();
    }
}

} // namespace vexa
