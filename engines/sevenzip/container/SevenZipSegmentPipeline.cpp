#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"

#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"
#include "platform/MemoryBudget.h"

#include <algorithm>

namespace vexa {

namespace {

// bsdtar, the comparable writer, compresses on one thread with one encoder of the same level
// and about this much beside it; parallel encoders together may hold eight times its peak.
constexpr std::uint64_t peerOverhead = 10u << 20;
constexpr unsigned peerShares = 8;
// The source listing, read buffers and the rest of the program.
constexpr std::uint64_t programShare = 32u << 20;
constexpr unsigned maximumThreads = 8;
constexpr std::size_t copySegmentSize = 1u << 20;
constexpr std::uint64_t evenStep = 1u << 20;

// How far an encoder's given-back input lags behind what it has read, beside the bytes a later
// run starts from.
constexpr std::uint64_t releaseLag = 2u << 20;

// An encoder gives back the pages of its segment it is done with as its output grows, so it
// holds at most its segment, the bytes before where it reads that a later run starts from, and
// the lag; a finished segment waiting to be written holds only its output. One segment more is
// being filled.
unsigned threadCount(int level, std::size_t segment) {
    if (level == 0)
        return 1;
    const std::uint64_t encoder = SevenZipLzma2Encoder::memoryUsage(level);
    const std::uint64_t budget = platform::jobMemory(peerShares * (encoder + peerOverhead));
    const std::uint64_t held = segment + SevenZipLzma2Encoder::historySize(level) + releaseLag;
    return platform::workersWithin(budget, programShare + segment, encoder + held, maximumThreads);
}

} // namespace

SevenZipSegmentPipeline::SevenZipSegmentPipeline(int level, Progress& progress,
                                                 std::uint64_t expectedInput)
    : level_(level), progress_(progress),
      segmentSize_(level == 0 ? copySegmentSize : SevenZipLzma2Encoder::segmentSize(level)),
      historySize_(level == 0 ? 0 : SevenZipLzma2Encoder::historySize(level)) {
    cores_ = platform::WorkerPool::process().borrow(threadCount(level, segmentSize_ + historySize_),
                                                    platform::WorkerPool::Asker::waits);
    // One encoder at least, even when the cores are all lent: the caller waits for it.
    const unsigned threads = std::max(cores_.count(), 1u);
    if (level > 0 && expectedInput > 0) {
        // As many segments as whole rounds of every encoder take, none longer than the level's
        // and none shorter than a dictionary; whole mebibytes keep segments on the 16-byte
        // boundaries the encoder starts from.
        const std::uint64_t segments = (expectedInput + segmentSize_ - 1) / segmentSize_;
        const std::uint64_t rounds = (segments + threads - 1) / threads;
        const std::uint64_t even = (expectedInput + rounds * threads - 1) / (rounds * threads);
        const std::uint64_t rounded = (even + evenStep - 1) / evenStep * evenStep;
        segmentSize_ = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(rounded, 2 * historySize_, segmentSize_));
    }
    // The caller fills the next segment while all compress.
    maxPending_ = threads;
    if (level > 0)
        properties_ = SevenZipLzma2Encoder(level).properties();
    workers_.reserve(threads);
    for (unsigned index = 0; index < threads; ++index)
        workers_.emplace_back([this] { work(); });
}

SevenZipSegmentPipeline::~SevenZipSegmentPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (auto& worker : workers_)
        worker.join();
}

std::size_t SevenZipSegmentPipeline::pending() const {
    std::lock_guard lock(mutex_);
    return order_.size();
}

bool SevenZipSegmentPipeline::oldestIsReady() const {
    std::lock_guard lock(mutex_);
    return !order_.empty() && order_.front()->done;
}

void SevenZipSegmentPipeline::submit(platform::SystemBytes input, std::size_t history) {
    auto job = std::make_shared<Job>();
    job->input = std::move(input);
    job->history = history;
    {
        std::lock_guard lock(mutex_);
        order_.push_back(job);
        waiting_.push_back(std::move(job));
    }
    queued_.notify_one();
}

platform::SystemBytes SevenZipSegmentPipeline::takeOldest() {
    std::shared_ptr<Job> job;
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return order_.front()->done; });
        job = std::move(order_.front());
        order_.pop_front();
    }
    if (job->failure)
        std::rethrow_exception(job->failure);
    progress_.throwIfCancelled();
    return std::move(job->output);
}

void SevenZipSegmentPipeline::work() {
    std::unique_ptr<SevenZipLzma2Encoder> encoder;
    while (true) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
        }
        try {
            if (progress_.isCancelled()) {
                // Nothing will be written; the taker sees the cancellation.
            } else if (level_ == 0) {
                job->output = std::move(job->input);
            } else {
                if (!encoder)
                    encoder = std::make_unique<SevenZipLzma2Encoder>(level_);
                encoder->compressSegment(job->input.data() + job->history,
                                         job->input.size() - job->history, job->history,
                                         job->output, &job->input);
            }
        } catch (...) {
            job->failure = std::current_exception();
        }
        job->input = platform::SystemBytes();
        {
            std::lock_guard lock(mutex_);
            job->done = true;
        }
        finished_.notify_all();
    }
}

} // namespace vexa
