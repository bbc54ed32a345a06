#include "engines/sevenzip/SevenZipVolumeWriter.h"

#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace vexa {

std::filesystem::path sevenZipVolumeName(const std::filesystem::path& location,
                                         std::uint64_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < 3)
        digits.insert(0, 3 - digits.size(), '0');
    std::filesystem::path part = location;
    part += "." + digits;
    return part;
}

SevenZipVolumeWriter::SevenZipVolumeWriter(std::filesystem::path location, std::int64_t volumeSize)
    : location_(std::move(location)), volumeSize_(volumeSize) {
    openNextPart();
}

void SevenZipVolumeWriter::openNextPart() {
    if (current_.get() >= 0)
        current_.close();
    const auto part =
        volumeSize_ > 0 ? sevenZipVolumeName(location_, parts_.size() + 1) : location_;
    current_ = files::FileDescriptor(files::createFile(part, 0644));
    parts_.push_back(part);
    writtenInPart_ = 0;
}

void SevenZipVolumeWriter::write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        // A new part starts only when there are bytes for it, so no empty last part is left.
        if (volumeSize_ > 0 && writtenInPart_ == volumeSize_)
            openNextPart();
        std::size_t chunk = size;
        if (volumeSize_ > 0)
            chunk = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(size),
                                                                    volumeSize_ - writtenInPart_));
        files::writeAll(current_.get(), bytes, chunk, parts_.back());
        writtenInPart_ += static_cast<std::int64_t>(chunk);
        bytes += chunk;
        size -= chunk;
    }
}

void SevenZipVolumeWriter::overwriteStart(const void* data, std::size_t size) {
    if (parts_.size() == 1 && current_.get() >= 0) {
        const off_t end = ::lseek(current_.get(), 0, SEEK_CUR);
        if (end < 0 || ::lseek(current_.get(), 0, SEEK_SET) != 0)
            throw PlatformError::fromErrno(errno, parts_.front().string(), true);
        files::writeAll(current_.get(), data, size, parts_.front());
        if (::lseek(current_.get(), end, SEEK_SET) != end)
            throw PlatformError::fromErrno(errno, parts_.front().string(), true);
        return;
    }
    files::FileDescriptor first(::open(parts_.front().c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (first.get() < 0)
        throw PlatformError::fromErrno(errno, parts_.front().string(), true);
    files::writeAll(first.get(), data, size, parts_.front());
    first.close();
}

void SevenZipVolumeWriter::close() {
    if (current_.get() >= 0)
        current_.close();
}

} // namespace vexa
