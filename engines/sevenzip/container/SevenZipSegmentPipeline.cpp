#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"

#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"

#include <algorithm>

namespace vexa {

namespace {

// What all encoders of one creation may use together with their segments: the source listing
// and the rest of the program take some 25 MiB of the 64 MiB a creation may use.
constexpr std::uint64_t encoderBudget = 29u << 20;
constexpr unsigned maximumThreads = 8;
constexpr std::size_t copySegmentSize = 1u << 20;

unsigned threadCount(int level) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    if (level == 0)
        return 1;
    const std::uint64_t perEncoder =
        SevenZipLzma2Encoder::memoryUsage(level) + 2 * SevenZipLzma2Encoder::segmentSize(level);
    const auto byMemory =
        static_cast<unsigned>(std::max<std::uint64_t>(1, encoderBudget / perEncoder));
    return std::min({cores, maximumThreads, byMemory});
}

} // namespace

SevenZipSegmentPipeline::SevenZipSegmentPipeline(int level, Progress& progress)
    : level_(level), progress_(progress),
      segmentSize_(level == 0 ? copySegmentSize : SevenZipLzma2Encoder::segmentSize(level)) {
    const unsigned threads = threadCount(level);
    // One segment more than the workers lets the caller fill the next while all compress.
    maxPending_ = threads + 1;
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

void SevenZipSegmentPipeline::submit(std::vector<std::uint8_t> input) {
    auto job = std::make_shared<Job>();
    job->input = std::move(input);
    {
        std::lock_guard lock(mutex_);
        order_.push_back(job);
        waiting_.push_back(std::move(job));
    }
    queued_.notify_one();
}

std::vector<std::uint8_t> SevenZipSegmentPipeline::takeOldest() {
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
                encoder->compressSegment(job->input.data(), job->input.size(), job->output);
            }
        } catch (...) {
            job->failure = std::current_exception();
        }
        job->input = std::vector<std::uint8_t>();
        {
            std::lock_guard lock(mutex_);
            job->done = true;
        }
        finished_.notify_all();
    }
}

} // namespace vexa
