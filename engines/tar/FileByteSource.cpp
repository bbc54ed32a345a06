#include "FileByteSource.h"

#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::tar {

FileByteSource::FileByteSource(const std::filesystem::path& location, Progress& progress,
                               bool countsUnits, GrowingFile* growing)
    : location_(location), progress_(progress), countsUnits_(countsUnits), growing_(growing),
      complete_(growing == nullptr) {
    int fd = ::open(location.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw PlatformError::fromErrno(errno, location.string(), false);
    descriptor_ = files::FileDescriptor(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw PlatformError::fromErrno(errno, location.string(), false);
    // A folder opens fine but cannot be read; say so before any decoder sees it.
    if (S_ISDIR(status.st_mode))
        throw PlatformError::fromErrno(EISDIR, location.string(), false);
    size_ = status.st_size;
    identity_ = FileIdentity::of(status);
    // Until the writer is done, the size is what it has written so far; 0 only for a file
    // that ended empty.
    awaitBeyond(0);
}

void FileByteSource::awaitBeyond(std::int64_t position) {
    if (complete_ || size_ > position)
        return;
    size_ = growing_->waitBeyond(position, complete_);
}

std::size_t FileByteSource::peekStart(char* buffer, std::size_t capacity) {
    while (!complete_ && size_ < static_cast<std::int64_t>(capacity))
        awaitBeyond(size_);
    const ssize_t filled = platform::readFully(descriptor_.get(), buffer, capacity, 0);
    if (filled < 0)
        throw PlatformError::fromErrno(errno, location_.string(), false);
    return static_cast<std::size_t>(filled);
}

std::size_t FileByteSource::read(char* buffer, std::size_t capacity) {
    progress_.throwIfCancelled();
    if (!complete_) {
        awaitBeyond(position_);
        // Only what the writer has finished writing.
        capacity = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(capacity), size_ - position_));
        if (capacity == 0)
            return 0;
    }
    const ssize_t count = platform::readSome(descriptor_.get(), buffer, capacity);
    if (count < 0)
        throw PlatformError::fromErrno(errno, location_.string(), false);
    advance(count);
    return static_cast<std::size_t>(count);
}

std::int64_t FileByteSource::skip(std::int64_t count) {
    progress_.throwIfCancelled();
    if (growing_ != nullptr)
        return -1;
    count = std::max<std::int64_t>(0, std::min(count, size_ - position_));
    if (::lseek(descriptor_.get(), count, SEEK_CUR) < 0)
        return -1;
    advance(count);
    return count;
}

void FileByteSource::advance(std::int64_t count) {
    position_ += count;
    if (countsUnits_)
        progress_.addCompletedUnits(count);
}

} // namespace vexa::tar
