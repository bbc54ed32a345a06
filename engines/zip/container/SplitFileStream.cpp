#include "engines/zip/container/SplitFileStream.h"

#include "engines/zip/container/ByteOrder.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

namespace {

constexpr size_t outputBufferSize = 1 << 18;

int openForReading(const std::string& path, int* fd, uint64_t* size) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return zipstatus::open;
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        return zipstatus::open;
    }
    *fd = descriptor;
    *size = static_cast<uint64_t>(info.st_size);
    return zipstatus::ok;
}

} // namespace

std::string splitPartPath(const std::string& mainPath, uint32_t disk) {
    char extension[16];
    std::snprintf(extension, sizeof extension, "z%02u", disk + 1);
    size_t slash = mainPath.rfind('/');
    size_t dot = mainPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return mainPath + "." + extension;
    return mainPath.substr(0, dot + 1) + extension;
}

SplitInputStream::~SplitInputStream() {
    if (mainFd_ >= 0)
        ::close(mainFd_);
    if (otherFd_ >= 0)
        ::close(otherFd_);
}

int SplitInputStream::open(const std::string& mainPath) {
    if (mainFd_ >= 0)
        return zipstatus::param;
    mainPath_ = mainPath;
    // Through a link the other parts lie beside the file it leads to.
    struct stat info {};
    if (::lstat(mainPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* real = ::realpath(mainPath.c_str(), nullptr)) {
            mainPath_ = real;
            std::free(real);
        }
    }
    return openForReading(mainPath, &mainFd_, &mainSize_);
}

int SplitInputStream::descriptorFor(uint32_t disk, int* fd) {
    if (disk > lastDisk_)
        return zipstatus::format;
    if (disk == lastDisk_) {
        *fd = mainFd_;
        return zipstatus::ok;
    }
    if (otherFd_ >= 0 && otherDisk_ == disk) {
        *fd = otherFd_;
        return zipstatus::ok;
    }
    if (otherFd_ >= 0) {
        ::close(otherFd_);
        otherFd_ = -1;
    }
    uint64_t size = 0;
    int status = openForReading(splitPartPath(mainPath_, disk), &otherFd_, &size);
    if (status != zipstatus::ok)
        return status;
    otherDisk_ = disk;
    sizes_[disk] = size;
    *fd = otherFd_;
    return zipstatus::ok;
}

int SplitInputStream::partSize(uint32_t disk, uint64_t* size) {
    if (disk == lastDisk_) {
        *size = mainSize_;
        return zipstatus::ok;
    }
    auto known = sizes_.find(disk);
    if (known != sizes_.end()) {
        *size = known->second;
        return zipstatus::ok;
    }
    int fd = -1;
    int status = descriptorFor(disk, &fd);
    if (status != zipstatus::ok)
        return status;
    *size = sizes_[disk];
    return zipstatus::ok;
}

int SplitInputStream::seek(uint32_t disk, uint64_t offset) {
    if (disk > lastDisk_)
        return zipstatus::format;
    if (lastDisk_ == 0) {
        int64_t biased = static_cast<int64_t>(offset) + bias_;
        if (biased < 0 || offset > static_cast<uint64_t>(INT64_MAX))
            return zipstatus::seek;
        offset = static_cast<uint64_t>(biased);
    }
    disk_ = disk;
    offset_ = offset;
    return zipstatus::ok;
}

int64_t SplitInputStream::read(void* buffer, size_t length) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        uint64_t size = 0;
        int status = partSize(disk_, &size);
        if (status != zipstatus::ok)
            return status;
        if (offset_ >= size) {
            if (disk_ >= lastDisk_)
                break;
            ++disk_;
            offset_ = 0;
            continue;
        }
        int fd = -1;
        status = descriptorFor(disk_, &fd);
        if (status != zipstatus::ok)
            return status;
        size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, size - offset_));
        const ssize_t n = platform::readSome(fd, out + done, want, static_cast<off_t>(offset_));
        if (n < 0)
            return zipstatus::read;
        if (n == 0)
            break; // the part shrank under us
        done += static_cast<size_t>(n);
        offset_ += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}

int SplitInputStream::readFully(void* buffer, size_t length) {
    int64_t n = read(buffer, length);
    if (n < 0)
        return static_cast<int>(n);
    return static_cast<size_t>(n) == length ? zipstatus::ok : zipstatus::endOfStream;
}

int64_t SplitInputStream::readAt(uint64_t position, void* buffer, size_t length) const {
    if (lastDisk_ != 0 || position > static_cast<uint64_t>(INT64_MAX))
        return zipstatus::param;
    const ssize_t n = platform::readFully(mainFd_, buffer, length, static_cast<off_t>(position));
    return n < 0 ? zipstatus::read : static_cast<int64_t>(n);
}

SplitOutputStream::~SplitOutputStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

int SplitOutputStream::open(const std::string& path, int64_t diskSize) {
    if (fd_ >= 0)
        return zipstatus::param;
    if (diskSize != 0 && diskSize < 65536)
        return zipstatus::param;
    path_ = path;
    diskSize_ = diskSize;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw PlatformError::fromErrno(errno, path, true);
    pending_.reserve(outputBufferSize);
    if (diskSize_ > 0) {
        uint8_t marker[4];
        zipbytes::put32(marker, 0x08074b50);
        pending_.append(reinterpret_cast<const char*>(marker), 4);
    }
    return zipstatus::ok;
}

int SplitOutputStream::flush() {
    if (pending_.empty())
        return zipstatus::ok;
    if (const int error = platform::writeFully(fd_, pending_.data(), pending_.size()))
        throw PlatformError::fromErrno(error, path_, true);
    offset_ += pending_.size();
    pending_.clear();
    return zipstatus::ok;
}

int SplitOutputStream::startNextPart() {
    int status = flush();
    if (status != zipstatus::ok)
        return status;
    const int closed = ::close(fd_);
    const int error = errno;
    fd_ = -1;
    if (closed != 0)
        throw PlatformError::fromErrno(error, path_, true);
    if (std::rename(path_.c_str(), splitPartPath(path_, disk_).c_str()) != 0)
        throw PlatformError::fromErrno(errno, path_, true);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw PlatformError::fromErrno(errno, path_, true);
    ++disk_;
    offset_ = 0;
    return zipstatus::ok;
}

int SplitOutputStream::keepTogether(size_t length) {
    if (fd_ < 0)
        return zipstatus::param;
    if (diskSize_ == 0)
        return zipstatus::ok;
    if (length > static_cast<uint64_t>(diskSize_))
        return zipstatus::param;
    if (offset() < static_cast<uint64_t>(diskSize_) &&
        offset() + length <= static_cast<uint64_t>(diskSize_))
        return zipstatus::ok;
    return startNextPart();
}

int SplitOutputStream::write(const void* buffer, size_t length) {
    if (fd_ < 0)
        return zipstatus::param;
    const char* data = static_cast<const char*>(buffer);
    while (length > 0) {
        size_t room = length;
        if (diskSize_ > 0) {
            uint64_t used = offset();
            if (used >= static_cast<uint64_t>(diskSize_)) {
                int status = startNextPart();
                if (status != zipstatus::ok)
                    return status;
                continue;
            }
            room = static_cast<size_t>(std::min<uint64_t>(length, diskSize_ - used));
        }
        if (pending_.empty() && room >= outputBufferSize) {
            if (const int error = platform::writeFully(fd_, data, room))
                throw PlatformError::fromErrno(error, path_, true);
            offset_ += room;
        } else {
            size_t take = std::min(room, outputBufferSize - pending_.size());
            pending_.append(data, take);
            room = take;
            if (pending_.size() >= outputBufferSize) {
                int status = flush();
                if (status != zipstatus::ok)
                    return status;
            }
        }
        data += room;
        length -= room;
    }
    return zipstatus::ok;
}

int SplitOutputStream::skip(uint64_t length) {
    if (fd_ < 0 || diskSize_ > 0)
        return zipstatus::param;
    int status = flush();
    if (status != zipstatus::ok)
        return status;
    if (::lseek(fd_, static_cast<off_t>(offset_ + length), SEEK_SET) < 0)
        throw PlatformError::fromErrno(errno, path_, true);
    offset_ += length;
    return zipstatus::ok;
}

int SplitOutputStream::patch(uint32_t disk, uint64_t offset, const void* buffer, size_t length) {
    if (fd_ < 0 || disk != disk_ || offset + length > this->offset())
        return zipstatus::seek;
    int status = flush();
    if (status != zipstatus::ok)
        return status;
    if (const int error = platform::writeFully(fd_, buffer, length, static_cast<off_t>(offset)))
        throw PlatformError::fromErrno(error, path_, true);
    return zipstatus::ok;
}

int SplitOutputStream::close() {
    if (fd_ < 0)
        return zipstatus::param;
    int status = flush();
    if (status == zipstatus::ok && diskSize_ > 0 && disk_ == 0) {
        // One part only: an ordinary archive, whose leading marker says "not split".
        uint8_t marker[4];
        zipbytes::put32(marker, 0x30304b50);
        status = patch(0, 0, marker, 4);
    }
    const int closed = ::close(fd_);
    const int error = errno;
    fd_ = -1;
    if (closed != 0 && status == zipstatus::ok)
        throw PlatformError::fromErrno(error, path_, true);
    return status;
}

} // namespace vexa
