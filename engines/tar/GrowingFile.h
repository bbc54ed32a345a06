#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vexa::tar {

// How much of a file being written is already there, shared between its writer and a reader
// that reads it back while it grows.
class GrowingFile {
  public:
    // The writer's calls.
    void grew(std::int64_t length);
    void finished();
    // The writer failed or was cancelled: the reader stops.
    void abandoned();

    // Waits until the file is longer than `position` or complete; answers the length known and
    // whether it is final. Throws ArchiveFailure::tarFailure when the writer gave up.
    std::int64_t waitBeyond(std::int64_t position, bool& complete);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t length_ = 0;
    bool complete_ = false;
    bool abandoned_ = false;
};

} // namespace vexa::tar
