#pragma once

#include "platform/Progress.h"
#include "platform/SystemMemory.h"
#include "platform/WorkerPool.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa {

// Compresses segments on worker threads, as many as the process's worker pool lends (the
// caller's thread only fills segments and waits, so its core is lent too), and hands the results
// back in submission order. Level 0 hands the input back unchanged. The caller submits and takes on
// one thread; at most `maxPending()` segments are held at once, which bounds the memory. A worker's
// failure is rethrown by `takeOldest`; a cancelled progress makes the workers drop their work. The
// destructor stops and joins the workers.
class SevenZipSegmentPipeline {
  public:
    // `expectedInput`, when known (not 0), evens out the segments over the encoders.
    SevenZipSegmentPipeline(int level, Progress& progress, std::uint64_t expectedInput = 0);
    ~SevenZipSegmentPipeline();
    SevenZipSegmentPipeline(const SevenZipSegmentPipeline&) = delete;
    SevenZipSegmentPipeline& operator=(const SevenZipSegmentPipeline&) = delete;

    // The input bytes a segment should hold, and the bytes of its folder before it that it
    // starts from (none at level 0).
    std::size_t segmentSize() const { return segmentSize_; }
    std::size_t historySize() const { return historySize_; }
    std::size_t maxPending() const { return maxPending_; }
    std::size_t pending() const;
    bool oldestIsReady() const;

    // Queues `input`, whose first `history` bytes are the folder's bytes before the segment;
    // the caller must take the oldest result first when `maxPending()` are held.
    void submit(platform::SystemBytes input, std::size_t history);
    // Waits for the oldest segment and returns its output.
    platform::SystemBytes takeOldest();

    // The LZMA2 coder properties of this level (empty for level 0).
    const std::vector<std::uint8_t>& properties() const { return properties_; }

  private:
    struct Job {
        platform::SystemBytes input;
        std::size_t history = 0;
        platform::SystemBytes output;
        std::exception_ptr failure;
        bool done = false;
    };
    void work();

    int level_;
    Progress& progress_;
    std::size_t segmentSize_;
    std::size_t historySize_;
    std::size_t maxPending_;
    std::vector<std::uint8_t> properties_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Job>> order_;
    std::deque<std::shared_ptr<Job>> waiting_;
    bool stopping_ = false;
    platform::WorkerPool::Lease cores_;
    std::vector<std::thread> workers_;
};

} // namespace vexa
