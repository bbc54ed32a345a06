#include "SourceEntryWriter.h"

#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::tar {

namespace {

struct timespec timespecOf(files::FileTime date) {
    auto since = date.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

} // namespace

void writeSourceEntry(ArchiveWriteHandle& writer, const std::string& path,
                      const RARSourceEntry& source, std::vector<char>& buffer, Progress& progress) {
    progress.throwIfCancelled();
    if (source.isDirectory) {
        files::FileAttributes attributes = files::attributesOfItem(source.url);
        writer.begin(
            {path, true, 0, attributes.permissions, timespecOf(attributes.modificationDate)});
        progress.addCompletedUnits(1);
        return;
    }
    // Opened before the header goes out, so an unreadable file leaves no entry behind; its
    // mode and date come from the open file, without looking its path up again.
    files::FileDescriptor file(::open(source.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0)
        throw PlatformError::fromErrno(errno, source.url.string(), false);
    writer.begin(
        {path, false, source.size, static_cast<mode_t>(status.st_mode & 07777), status.st_mtim});
    std::int64_t remaining = source.size;
    while (remaining > 0) {
        progress.throwIfCancelled();
        std::size_t wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(remaining, buffer.size()));
        ssize_t count = ::read(file.get(), buffer.data(), wanted);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw PlatformError::fromErrno(errno, source.url.string(), false);
        if (count == 0)
            break;
        writer.write(buffer.data(), static_cast<std::size_t>(count));
        remaining -= count;
        progress.addCompletedUnits(count);
    }
    if (source.size == 0)
        progress.addCompletedUnits(1);
}

} // namespace vexa::tar
