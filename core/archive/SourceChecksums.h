#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

namespace vexa {

// The CRC-32s of the source files, read on a thread of its own while the writer runs and
// while its result is read back, so that the check after them finds them done.
//
// A file read before the writer ended keeps what it looked like then (device, inode, size,
// modification and change times); once the writer has ended, the thread looks at it again
// and reads it anew when anything differs, so the check still compares the archive with the
// files as they are after the writer read them. A change leaves a different change time only
// when the time kept was older than the change by more than the file system's time step (up
// to 2 s on FAT), so a file changed less than `settled` before it was read is read again too.
//
// A writer that reads every file itself can hand over what it read instead (Early::offered):
// the thread then reads nothing while the writer runs, and afterwards reads only the files it
// was not offered or that changed, under the same rules.
class SourceChecksums {
  public:
    enum class Early { read, offered };
    static constexpr std::chrono::seconds defaultSettled{3};

    // Starts reading the files of `sources`, which must outlive this object unchanged. The
    // thread stops early when `progress` is cancelled.
    SourceChecksums(const SourceEntryMap& sources, const Progress& progress,
                    std::chrono::nanoseconds settled = defaultSettled, Early early = Early::read);
    // Stops the reading thread.
    ~SourceChecksums();
    SourceChecksums(const SourceChecksums&) = delete;
    SourceChecksums& operator=(const SourceChecksums&) = delete;

    // Waits until the thread has read every file once (or stopped).
    void waitUntilRead();

    // With Early::offered, before writerEnded() and from the writer's thread: the CRC-32 of the
    // whole of `source` as the writer read it, the file's status before and after that reading,
    // and the clock (CLOCK_REALTIME_COARSE) before it began. Kept only when the file did not
    // change meanwhile and had settled by then.
    void offer(const RARSourceEntry& source, std::uint32_t crc, const struct stat& before,
               const struct stat& after, const timespec& readAt);

    // The writer has ended: what is read from now on is final.
    void writerEnded();

    // The file's CRC-32 after the writer: the thread's (its size then counts as read on the
    // progress), or crc32OfFile when the thread has none. The first call waits for the thread.
    std::uint32_t crc(const RARSourceEntry& source, Progress& progress);

  private:
    // What tells a change of a file; kept for every file, so only that of its status.
    struct Look {
        Look() = default;
        explicit Look(const struct stat& status);
        bool operator==(const Look&) const = default;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modified = 0; // nanoseconds
        std::int64_t changed = 0;
    };
    struct Taken {
        // Read while the writer ran: final once the file is seen unchanged after it.
        bool early = false;
        bool final = false;
        std::uint32_t crc = 0;
        Look look;
    };
    void run(const SourceEntryMap& sources, std::chrono::nanoseconds settled, Early early);
    bool take(const RARSourceEntry& source, Taken& taken, std::chrono::nanoseconds settled,
              std::vector<unsigned char>& block);
    bool stopping() const;
    void finish();

    const Progress& progress_;
    std::chrono::nanoseconds settled_;
    // One per file to read, ordered by the entry's address: looked up for every file twice,
    // this finds it in a few steps of contiguous memory where a hash table missed the cache.
    std::vector<std::pair<const RARSourceEntry*, Taken>> taken_;
    Taken* find(const RARSourceEntry& source);
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool readOnce_ = false;
    bool writerEnded_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vexa
