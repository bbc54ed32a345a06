#include "engines/sevenzip/SevenZipExtraction.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipFolderData.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vexa {

namespace {

constexpr std::size_t blockSize = 256 * 1024;
// What the decoders running at once may take besides their buffers: with the writer's buffers
// the whole extraction stays well under 64 MiB.
constexpr std::uint64_t decoderMemoryBudget = 44 * 1024 * 1024;
constexpr std::size_t maxWorkers = 8;

struct FolderAttributes {
    std::filesystem::path location;
    mode_t permissions;
    std::optional<files::FileTime> modificationDate;
};

void createFolders(const std::filesystem::path& location) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    if (error)
        throw PlatformError::fromErrno(error.value(), location.string(), true);
}

void finishFile(int descriptor, const SevenZipEntry& entry, const std::filesystem::path& location) {
    // Through the descriptor: the name could be swapped for a link between close and chmod.
    if (::fchmod(descriptor, entry.permissions) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    if (entry.modificationDate) {
        const auto sinceEpoch = entry.modificationDate->time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
        const timespec times[2] = {
            {0, UTIME_OMIT},
            {static_cast<time_t>(seconds.count()),
             static_cast<long>(
                 std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds)
                     .count())}};
        if (::futimens(descriptor, times) != 0)
            throw PlatformError::fromErrno(errno, location.string(), true);
    }
}

// Streams one file from `read` (0 at its end) to a new file at `location`.
template <typename Read>
void writeFile(Read&& read, const SevenZipEntry& entry, const std::filesystem::path& location,
               std::vector<std::uint8_t>& buffer, Progress& progress,
               const std::atomic<bool>& stop) {
    createFolders(location.parent_path());
    files::FileDescriptor file(files::createFile(location, 0600));
    std::int64_t written = 0;
    while (true) {
        progress.throwIfCancelled();
        if (stop)
            return;
        const std::size_t count = read(buffer.data(), buffer.size());
        if (count == 0)
            break;
        written += static_cast<std::int64_t>(count);
        if (written > entry.item.size)
            throw ArchiveFailure::corrupt(entry.item.path);
        files::writeAll(file.get(), buffer.data(), count, location);
        progress.addCompletedUnits(static_cast<std::int64_t>(count));
    }
    if (written != entry.item.size)
        throw ArchiveFailure::corrupt(entry.item.path);
    if (entry.item.size == 0)
        progress.addCompletedUnits(1);
    finishFile(file.get(), entry, location);
    file.close();
}

// The archives the container layer cannot decode (PPMd and the like) go entry by entry
// through the reader, which hands them to libarchive.
void writeSequentially(const SevenZipOpenArchive& open, std::map<std::string, ArchiveItem>& pending,
                       Progress& progress, const SevenZipDestination& destination,
                       std::vector<FolderAttributes>& folders) {
    std::vector<std::uint8_t> buffer(blockSize);
    const std::atomic<bool> never{false};
    SevenZipReader reader(open.volumes, progress);
    while (!pending.empty()) {
        auto entry = reader.next();
        if (!entry)
            break;
        const auto found = pending.find(entry->item.path);
        if (found == pending.end())
            continue;
        pending.erase(found);
        const std::filesystem::path location = destination(entry->item);
        if (entry->type == files::FileType::directory) {
            createFolders(location);
            folders.push_back({location, entry->permissions, entry->modificationDate});
            progress.addCompletedUnits(1);
        } else if (entry->type == files::FileType::regular) {
            writeFile([&](std::uint8_t* out, std::size_t size) { return reader.read(out, size); },
                      *entry, location, buffer, progress, never);
        } else {
            throw ArchiveFailure::archiveChanged();
        }
    }
}

struct FolderJob {
    std::size_t folder;
    std::uint64_t memory;
    // (substream, file index) of the selected files of the folder, in order.
    std::vector<std::pair<std::size_t, std::size_t>> files;
};

// Runs the folder jobs on up to maxWorkers threads; a job starts only while the decoders
// already running leave room in the memory budget (one always runs).
class ParallelFolders {
  public:
    ParallelFolders(const SevenZipOpenArchive& open, const std::optional<std::string>& password,
                    std::vector<FolderJob> jobs, Progress& progress,
                    const SevenZipDestination& destination)
        : open_(open), password_(password), jobs_(std::move(jobs)), progress_(progress),
          destination_(destination) {}

    void run() {
        const std::size_t hardware = std::max(1u, std::thread::hardware_concurrency());
        const std::size_t count = std::min({jobs_.size(), hardware, maxWorkers});
        if (count <= 1) {
            work();
        } else {
            std::vector<std::thread> threads;
            for (std::size_t i = 0; i < count; ++i)
                threads.emplace_back([this] { work(); });
            for (auto& thread : threads)
                thread.join();
        }
        if (failure_)
            std::rethrow_exception(failure_);
    }

  private:
    void work() {
        std::vector<std::uint8_t> buffer(blockSize);
        while (true) {
            std::optional<std::size_t> job = take();
            if (!job)
                return;
            try {
                runJob(jobs_[*job], buffer);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!failure_)
                    failure_ = std::current_exception();
                stop_ = true;
            }
            release(jobs_[*job].memory);
        }
    }

    std::optional<std::size_t> take() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (stop_ || next_ == jobs_.size())
                return std::nullopt;
            const std::uint64_t memory = jobs_[next_].memory;
            if (running_ == 0 || inUse_ + memory <= decoderMemoryBudget) {
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

    void runJob(const FolderJob& job, std::vector<std::uint8_t>& buffer) {
        progress_.throwIfCancelled();
        SevenZipFolderData data(open_, job.folder, password_);
        for (const auto& [stream, file] : job.files) {
            if (stop_)
                return;
            const SevenZipEntry& entry = *open_.entries[file];
            data.seekStream(stream, entry.item.path, progress_);
            writeFile([&](std::uint8_t* out, std::size_t size) { return data.read(out, size); },
                      entry, destination_(entry.item), buffer, progress_, stop_);
        }
    }

    const SevenZipOpenArchive& open_;
    const std::optional<std::string>& password_;
    std::vector<FolderJob> jobs_;
    Progress& progress_;
    const SevenZipDestination& destination_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    std::uint64_t inUse_ = 0;
    std::atomic<bool> stop_{false};
    std::exception_ptr failure_;
};

} // namespace

bool isSelectedSevenZipPath(const std::string& path, const std::set<std::string>& requested) {
    if (requested.empty() || requested.contains(path))
        return true;
    return std::any_of(requested.begin(), requested.end(), [&](const std::string& member) {
        const std::string prefix = member.ends_with('/') ? member : member + "/";
        return path.starts_with(prefix);
    });
}

void writeSevenZipEntries(const SevenZipOpenArchive& open, const std::vector<ArchiveItem>& selected,
                          Progress& progress, const SevenZipDestination& destination) {
    std::map<std::string, ArchiveItem> pending;
    std::int64_t total = 0;
    for (const auto& item : selected) {
        pending.emplace(item.path, item);
        total += std::max<std::int64_t>(item.size, 1);
    }
    progress.setTotalUnitCount(total);
    std::vector<FolderAttributes> folders;

    if (!open.decodable()) {
        writeSequentially(open, pending, progress, destination, folders);
    } else {
        // Decide the password before anything is written: a wrong one writes nothing.
        const auto password = resolveSevenZipDataPassword(open, progress);
        const std::atomic<bool> never{false};
        std::map<std::size_t, FolderJob> jobs;
        for (std::size_t file = 0; file < open.entries.size(); ++file) {
            const auto& entry = open.entries[file];
            if (!entry)
                continue;
            const auto found = pending.find(entry->item.path);
            if (found == pending.end())
                continue;
            pending.erase(found);
            const auto location = destination(entry->item);
            const auto stream = open.archive->fileStreams()[file];
            if (entry->type == files::FileType::directory) {
                createFolders(location);
                folders.push_back({location, entry->permissions, entry->modificationDate});
                progress.addCompletedUnits(1);
            } else if (entry->type != files::FileType::regular) {
                throw ArchiveFailure::archiveChanged();
            } else if (!stream) {
                std::vector<std::uint8_t> none;
                writeFile([](std::uint8_t*, std::size_t) { return std::size_t{0}; }, *entry,
                          location, none, progress, never);
            } else {
                const std::size_t folder = open.archive->streamFolders()[*stream];
                auto& job = jobs[folder];
                job.folder = folder;
                job.files.emplace_back(*stream, file);
            }
        }
        if (pending.empty()) {
            std::vector<FolderJob> list;
            for (auto& [folder, job] : jobs) {
                job.memory = open.archive->folderMemory(folder);
                list.push_back(std::move(job));
            }
            ParallelFolders(open, password, std::move(list), progress, destination).run();
        }
    }
    if (!pending.empty())
        throw ArchiveFailure::archiveChanged();

    // Deepest first, and only now: a read-only folder must not stop its own contents from being
    // written, and writing them would move its time.
    progress.throwIfCancelled();
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return a.location.native().size() > b.location.native().size();
    });
    for (const auto& folder : folders) {
        files::setPermissions(folder.location, folder.permissions);
        if (folder.modificationDate)
            files::setModificationDate(folder.location, *folder.modificationDate);
    }
}

} // namespace vexa
