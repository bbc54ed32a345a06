#include "engines/sevenzip/SevenZipVolumeStream.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

SevenZipVolumeStream::SevenZipVolumeStream(const std::vector<std::filesystem::path>& parts) {
    for (const auto& location : parts) {
        files::FileDescriptor descriptor(::open(location.c_str(), O_RDONLY | O_CLOEXEC));
        if (descriptor.get() < 0) {
            const int error = errno;
            if (error == ENOENT || error == EACCES || error == EPERM || error == ELOOP)
                throw ArchiveFailure::missingVolume(paths::lastPathComponent(location));
            throw PlatformError::fromErrno(error, location.string(), false);
        }
        struct stat status {};
        if (::fstat(descriptor.get(), &status) != 0)
            throw PlatformError::fromErrno(errno, location.string(), false);
        if (!S_ISREG(status.st_mode))
            throw PlatformError(PlatformError::Code::fileReadUnknown, location.string());
        parts_.push_back({location, std::move(descriptor), total_, status.st_size});
        total_ += status.st_size;
    }
}

std::size_t SevenZipVolumeStream::read(void* buffer, std::size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t filled = 0;
    while (filled < size && position_ < total_) {
        const auto part = std::find_if(parts_.begin(), parts_.end(), [&](const Part& candidate) {
            return position_ < candidate.start + candidate.size;
        });
        const std::int64_t offset = position_ - part->start;
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(part->size - offset, static_cast<std::int64_t>(size - filled)));
        const ssize_t count =
            platform::readSome(part->descriptor.get(), out + filled, wanted, offset);
        if (count < 0)
            throw PlatformError::fromErrno(errno, part->location.string(), false);
        // A part that shrank since it was opened.
        if (count == 0)
            throw PlatformError(PlatformError::Code::fileReadUnknown, part->location.string());
        filled += static_cast<std::size_t>(count);
        position_ += count;
    }
    return filled;
}

void SevenZipVolumeStream::readAt(std::int64_t offset, void* buffer, std::size_t size) const {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const auto part = std::find_if(parts_.begin(), parts_.end(), [&](const Part& candidate) {
            return offset < candidate.start + candidate.size;
        });
        if (offset < 0 || part == parts_.end())
            throw PlatformError(PlatformError::Code::fileReadUnknown,
                                parts_.empty() ? std::string() : parts_.back().location.string());
        const std::int64_t within = offset - part->start;
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(part->size - within, static_cast<std::int64_t>(size)));
        ssize_t count = 0;
        do {
            count = ::pread(part->descriptor.get(), out, wanted, within);
        } while (count < 0 && errno == EINTR);
        if (count < 0)
            throw PlatformError::fromErrno(errno, part->location.string(), false);
        if (count == 0)
            throw PlatformError(PlatformError::Code::fileReadUnknown, part->location.string());
        out += count;
        offset += count;
        size -= static_cast<std::size_t>(count);
    }
}

std::int64_t SevenZipVolumeStream::seek(std::int64_t offset, int whence) {
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = position_;
    else if (whence == SEEK_END)
        base = total_;
    else if (whence != SEEK_SET)
        return -1;
    if ((offset > 0 && base > total_ - offset) || base + offset < 0)
        return -1;
    position_ = base + offset;
    return position_;
}

} // namespace vexa
