#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unordered_map>

namespace vexa {

// The CRC-32s of the source files, read on a thread of its own while the writer runs, so that
// the check after it finds most of them done. Each one keeps what the file looked like when
// it was read (device, inode, size, modification and change times); a file that looks any
// different when the check asks is read again then, so the check still compares the archive
// with the files as they are after the writer read them.
//
// A change leaves a different change time only when the time kept was older than the
// change by more than the file system's time step (up to 2 s on FAT), so a file changed less
// than `settled` before it was read is left to the check.
class SourceChecksums {
  public:
    // Starts reading the files of `sources`, which must outlive this object unchanged.
    explicit SourceChecksums(const SourceEntryMap& sources,
                             std::chrono::nanoseconds settled = std::chrono::seconds(3));
    // Stops the reading thread.
    ~SourceChecksums();
    SourceChecksums(const SourceChecksums&) = delete;
    SourceChecksums& operator=(const SourceChecksums&) = delete;

    // Waits until the thread has read every file it could.
    void finishReading();

    // The file's CRC-32 now: the one read in advance while the file is unchanged (its size
    // then counts as read on the progress), otherwise crc32OfFile. The first call stops the
    // thread, so that files it has not reached are read here instead of twice.
    std::uint32_t crc(const RARSourceEntry& source, Progress& progress);

  private:
    struct Taken {
        bool done = false;
        std::uint32_t crc = 0;
        struct stat status {};
    };
    void run(const SourceEntryMap& sources, std::chrono::nanoseconds settled);
    void stop();

    std::unordered_map<const RARSourceEntry*, Taken> taken_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace vexa
