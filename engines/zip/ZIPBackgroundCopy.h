#pragma once

#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa {

// Copies byte ranges of an archive into the bytes that the new archive's writer left for them
// (ZipHandle::skipData), on a thread of its own and through descriptors of its own, so that the
// records, the added entries and the central directory are written, and checked, while the
// kernel copies the kept entries. Ranges are copied in the order they are added.
class ZIPBackgroundCopy {
  public:
    // Opens `archive` for reading and `written` (which exists) for writing.
    ZIPBackgroundCopy(const std::filesystem::path& archive, const std::filesystem::path& written,
                      Progress& progress);
    // Stops after the piece being copied.
    ~ZIPBackgroundCopy();
    ZIPBackgroundCopy(const ZIPBackgroundCopy&) = delete;
    ZIPBackgroundCopy& operator=(const ZIPBackgroundCopy&) = delete;

    // Queues `length` bytes from `start` of the archive to `offset` of the new one, which count
    // for `units` of the progress object once copied. Throws a failure of earlier ranges.
    void add(std::uint64_t start, std::uint64_t length, std::uint64_t offset, std::int64_t units);
    // Waits until every range is copied; throws the first failure instead: archiveChanged when
    // the archive ends before a range does, the cancellation error when the progress object was
    // cancelled, a platform error for the files.
    void finish();

  private:
    struct Range {
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        std::uint64_t offset = 0;
        std::uint64_t done = 0;
        std::shared_ptr<Progress> child;
    };
    void run();
    // Copies the range from `done` on, up to `until` bytes of it.
    void copy(Range& range, std::uint64_t until);

    std::filesystem::path archive_;
    std::filesystem::path written_;
    Progress& progress_;
    files::FileDescriptor source_;
    files::FileDescriptor output_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Range> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool started_ = false;
    // Without a thread of its own (none could be started) each range is copied as it is added.
    bool inline_ = false;
    // False once the kernel refused to copy between the two files (across file systems); the
    // bytes then go through the buffer.
    bool kernel_ = true;
    std::vector<char> buffer_;
    std::exception_ptr failure_;
    // Last, so that it is joined before the members it uses go.
    std::jthread thread_;
};

} // namespace vexa
