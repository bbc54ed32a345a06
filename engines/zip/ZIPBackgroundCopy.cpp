#include "engines/zip/ZIPBackgroundCopy.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace vexa {

namespace {

// Bytes copied between two looks at cancellation.
constexpr std::uint64_t copyPiece = std::uint64_t{1} << 24;
// Bytes of the first range copied before the thread starts.
constexpr std::uint64_t leadPiece = std::uint64_t{1} << 12;
// The buffer of a copy the kernel cannot make (across file systems).
constexpr std::size_t bufferSize = std::size_t{1} << 18;

files::FileDescriptor openOrThrow(const std::filesystem::path& location, int flags, bool writing) {
    files::FileDescriptor fd(::open(location.c_str(), flags | O_CLOEXEC));
    if (fd.get() < 0)
        throw PlatformError::fromErrno(errno, location.string(), writing);
    return fd;
}

} // namespace

ZIPBackgroundCopy::ZIPBackgroundCopy(const std::filesystem::path& archive,
                                     const std::filesystem::path& written, Progress& progress)
    : archive_(archive), written_(written), progress_(progress),
      source_(openOrThrow(archive, O_RDONLY, false)),
      output_(openOrThrow(written, O_WRONLY, true)) {}

ZIPBackgroundCopy::~ZIPBackgroundCopy() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void ZIPBackgroundCopy::add(std::uint64_t start, std::uint64_t length, std::uint64_t offset,
                            std::int64_t units) {
    Range range{
        start, length, offset, 0,
        std::make_shared<Progress>(static_cast<std::int64_t>(std::max<std::uint64_t>(length, 1)))};
    progress_.addChild(range.child, units);
    if (!started_) {
        started_ = true;
        // The first bytes are copied here and now, before the caller writes anything more, so
        // that a kernel that cannot copy between the two files is met at a known point.
        copy(range, leadPiece);
        try {
            thread_ = std::jthread([this] { run(); });
        } catch (const std::system_error&) {
            inline_ = true;
        }
    }
    if (inline_) {
        copy(range, range.length);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (failure_)
            std::rethrow_exception(failure_);
        queue_.push_back(std::move(range));
    }
    changed_.notify_all();
}

void ZIPBackgroundCopy::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failure_ || (queue_.empty() && !busy_); });
    if (failure_)
        std::rethrow_exception(failure_);
}

void ZIPBackgroundCopy::run() {
    try {
        while (true) {
            Range range;
            {
                std::unique_lock lock(mutex_);
                busy_ = false;
                changed_.notify_all();
                changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_)
                    return;
                range = std::move(queue_.front());
                queue_.pop_front();
                busy_ = true;
            }
            copy(range, range.length);
        }
    } catch (...) {
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
        busy_ = false;
        changed_.notify_all();
    }
}

void ZIPBackgroundCopy::copy(Range& range, std::uint64_t until) {
    until = std::min(until, range.length);
    while (range.done < until) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        progress_.throwIfCancelled();
        const std::uint64_t piece = std::min(copyPiece, until - range.done);
        auto from = static_cast<off64_t>(range.start + range.done);
        auto to = static_cast<off64_t>(range.offset + range.done);
        ssize_t copied = 0;
        if (kernel_) {
            copied = ::copy_file_range(source_.get(), &from, output_.get(), &to,
                                       static_cast<std::size_t>(piece), 0);
            if (copied < 0) {
                if (errno == EINTR)
                    continue;
                // Across file systems, or where the kernel cannot copy between these files.
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                    throw PlatformError::fromErrno(errno, written_.string(), true);
                kernel_ = false;
                continue;
            }
        } else {
            if (buffer_.empty())
                buffer_.resize(bufferSize);
            copied =
                ::pread(source_.get(), buffer_.data(),
                        static_cast<std::size_t>(std::min<std::uint64_t>(piece, bufferSize)), from);
            if (copied < 0) {
                if (errno == EINTR)
                    continue;
                throw PlatformError::fromErrno(errno, archive_.string(), false);
            }
            if (copied > 0)
                files::writeAllAt(output_.get(), buffer_.data(), static_cast<std::size_t>(copied),
                                  to, written_);
        }
        // Bytes the directory promised are gone: the archive was cut while it was copied.
        if (copied == 0)
            throw ArchiveFailure::archiveChanged();
        range.done += static_cast<std::uint64_t>(copied);
        range.child->setCompletedUnitCount(static_cast<std::int64_t>(range.done));
    }
    if (range.done == range.length)
        range.child->setCompletedUnitCount(range.child->totalUnitCount());
}

} // namespace vexa
