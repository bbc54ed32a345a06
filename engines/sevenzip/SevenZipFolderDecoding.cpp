#include "engines/sevenzip/SevenZipFolderDecoding.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Crc32.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

namespace vexa {

namespace {

// Blocks a folder's decoder fills ahead of the files' consumer: enough that neither waits on
// the other for long, few enough that eight folders at once stay small.
constexpr std::size_t blockSize = 128 * 1024;
constexpr std::size_t blocksPerFolder = 6;
// What the decoders running at once may take with their blocks: with the rest of the program
// an extraction stays well under 64 MiB.
constexpr std::uint64_t memoryBudget = 44 * 1024 * 1024;
constexpr std::size_t maxWorkers = 8;

struct Block {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(blockSize);
    std::size_t size = 0;
};

// The hand-over between a folder's decoder and its consumer: filled blocks in order, empty
// ones back. Either side may stop the other.
class BlockChannel {
  public:
    BlockChannel() {
        for (auto& block : blocks_)
            empty_.push_back(&block);
    }

    // An empty block for the decoder; nothing once the consumer has gone.
    Block* takeEmpty() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return closed_ || !empty_.empty(); });
        if (closed_)
            return nullptr;
        Block* block = empty_.back();
        empty_.pop_back();
        return block;
    }

    void push(Block* block) {
        {
            std::lock_guard lock(mutex_);
            filled_.push_back(block);
        }
        changed_.notify_all();
    }

    // The decoder is done: after the blocks already pushed, the consumer sees the end (or the
    // failure).
    void finish(std::exception_ptr failure = nullptr) {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
            failure_ = std::move(failure);
        }
        changed_.notify_all();
    }

    // The next filled block; nothing at the end. Rethrows the decoder's failure in its place.
    Block* takeFilled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_ || !filled_.empty(); });
        if (!filled_.empty()) {
            Block* block = filled_.front();
            filled_.pop_front();
            return block;
        }
        if (failure_)
            std::rethrow_exception(failure_);
        return nullptr;
    }

    void giveBack(Block* block) {
        {
            std::lock_guard lock(mutex_);
            empty_.push_back(block);
        }
        changed_.notify_all();
    }

    // The consumer stops: the decoder's next wait returns nothing.
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

  private:
    Block blocks_[blocksPerFolder];
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Block*> empty_;
    std::deque<Block*> filled_;
    bool ended_ = false;
    bool closed_ = false;
    std::exception_ptr failure_;
};

struct FolderJob {
    std::size_t folder = 0;
    std::uint64_t memory = 0;
    // (substream, file) of the chosen files, in stream order.
    std::vector<std::pair<std::size_t, std::size_t>> files;
};

class ParallelFolders {
  public:
    ParallelFolders(const SevenZipOpenArchive& open, const std::optional<std::string>& password,
                    std::vector<FolderJob> jobs, Progress& progress,
                    const std::function<std::unique_ptr<SevenZipFileSink>()>& makeSink)
        : open_(open), password_(password), jobs_(std::move(jobs)), progress_(progress),
          makeSink_(makeSink) {}

    void run() {
        platform::WorkerPool::process().run(std::min(jobs_.size(), maxWorkers),
                                            [this](std::size_t) { work(); });
        if (failure_)
            std::rethrow_exception(failure_);
    }

  private:
    void work() {
        while (true) {
            std::optional<std::size_t> job = take();
            if (!job)
                return;
            try {
                runJob(jobs_[*job]);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!failure_)
                    failure_ = std::current_exception();
                stop_ = true;
            }
            release(jobs_[*job].memory);
        }
    }

    // The next job, once the decoders already running leave room for it.
    std::optional<std::size_t> take() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (stop_ || next_ == jobs_.size())
                return std::nullopt;
            const std::uint64_t memory = jobs_[next_].memory;
            if (running_ == 0 || inUse_ + memory <= memoryBudget) {
                inUse_ += memory;
                ++running_;
                return next_++;
            }
            changed_.wait(lock);
        }
    }

    void release(std::uint64_t memory) {
        {
            std::lock_guard lock(mutex_);
            inUse_ -= memory;
            --running_;
        }
        changed_.notify_all();
    }

    // Decodes the folder up to the end of its last chosen stream into the channel's blocks.
    void decode(const FolderJob& job, std::uint64_t length, BlockChannel& channel) {
        try {
            auto reader = open_.archive->openFolder(job.folder, password_);
            while (length > 0) {
                Block* block = channel.takeEmpty();
                if (!block || progress_.isCancelled() || stop_)
                    break;
                block->size = 0;
                while (block->size < blockSize && length > 0) {
                    const std::size_t count =
                        reader->read(block->bytes.data() + block->size,
                                     static_cast<std::size_t>(
                                         std::min<std::uint64_t>(blockSize - block->size, length)));
                    if (count == 0)
                        throw sevenzip::SevenZipDataError("folder ends early");
                    block->size += count;
                    length -= count;
                }
                channel.push(block);
            }
            channel.finish();
        } catch (...) {
            channel.finish(std::current_exception());
        }
    }

    void runJob(const FolderJob& job) {
        progress_.throwIfCancelled();
        const auto& header = open_.archive->header();
        const auto& sizes = header.streams.substreamSizes;
        const auto& crcs = header.streams.substreamCrcs;
        const auto& folders = open_.archive->streamFolders();
        const bool encrypted = open_.archive->folderEncrypted(job.folder);

        // Where the folder's first stream is, and how far the chosen files reach.
        std::size_t stream = job.files.front().first;
        while (stream > 0 && folders[stream - 1] == job.folder)
            --stream;
        std::uint64_t length = 0;
        for (std::size_t s = stream; s <= job.files.back().first; ++s)
            length += sizes[s];

        auto sink = makeSink_();
        BlockChannel channel;
        std::thread decoder([&] { decode(job, length, channel); });
        struct Stopper {
            BlockChannel& channel;
            std::thread& decoder;
            ~Stopper() {
                channel.close();
                decoder.join();
            }
        } stopper{channel, decoder};

        Block* block = nullptr;
        std::size_t offset = 0;
        std::string path;
        // Hands `count` bytes of the folder to `use`, block by block.
        const auto consume = [&](std::uint64_t count, auto&& use) {
            while (count > 0) {
                if (block && offset == block->size) {
                    channel.giveBack(block);
                    block = nullptr;
                }
                if (!block) {
                    progress_.throwIfCancelled();
                    if (stop_)
                        return false;
                    try {
                        block = channel.takeFilled();
                    } catch (const sevenzip::SevenZipDataError&) {
                        fail(encrypted, path);
                    }
                    if (!block) {
                        // A decoder stopped by a cancellation or another folder's failure.
                        progress_.throwIfCancelled();
                        if (stop_)
                            return false;
                        fail(encrypted, path);
                    }
                    offset = 0;
                }
                const auto piece =
                    static_cast<std::size_t>(std::min<std::uint64_t>(count, block->size - offset));
                use(block->bytes.data() + offset, piece);
                offset += piece;
                count -= piece;
            }
            return true;
        };

        for (const auto& [wanted, file] : job.files) {
            path = open_.entries[file] ? open_.entries[file]->item.path : std::string();
            for (; stream < wanted; ++stream)
                if (!consume(sizes[stream], [](const std::uint8_t*, std::size_t) {}))
                    return;
            std::uint32_t crc = 0;
            sink->begin(file);
            const bool complete =
                consume(sizes[stream], [&](const std::uint8_t* bytes, std::size_t size) {
                    crc = platform::crc32(crc, bytes, size);
                    sink->data(bytes, size);
                });
            if (!complete)
                return;
            if (crcs[stream] && *crcs[stream] != crc)
                fail(encrypted, path);
            sink->end(static_cast<std::uint32_t>(crc));
            ++stream;
        }
    }

    [[noreturn]] static void fail(bool encrypted, const std::string& path) {
        if (encrypted)
            throw ArchiveFailure::wrongPassword();
        throw ArchiveFailure::corrupt(path);
    }

    const SevenZipOpenArchive& open_;
    const std::optional<std::string>& password_;
    std::vector<FolderJob> jobs_;
    Progress& progress_;
    const std::function<std::unique_ptr<SevenZipFileSink>()>& makeSink_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    std::uint64_t inUse_ = 0;
    std::atomic<bool> stop_{false};
    std::exception_ptr failure_;
};

} // namespace

void decodeSevenZipFiles(const SevenZipOpenArchive& open,
                         const std::optional<std::string>& password,
                         const std::vector<std::size_t>& files, Progress& progress,
                         const std::function<std::unique_ptr<SevenZipFileSink>()>& makeSink) {
    std::map<std::size_t, FolderJob> byFolder;
    for (std::size_t file : files) {
        const auto stream = open.archive->fileStreams()[file];
        if (!stream)
            continue;
        const std::size_t folder = open.archive->streamFolders()[*stream];
        auto& job = byFolder[folder];
        job.folder = folder;
        job.files.emplace_back(*stream, file);
    }
    std::vector<FolderJob> jobs;
    for (auto& [folder, job] : byFolder) {
        std::sort(job.files.begin(), job.files.end());
        job.memory = open.archive->folderMemory(folder) + blockSize * blocksPerFolder;
        jobs.push_back(std::move(job));
    }
    if (!jobs.empty())
        ParallelFolders(open, password, std::move(jobs), progress, makeSink).run();
}

} // namespace vexa
