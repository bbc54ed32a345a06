#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPOutputFolders.h"
#include "engines/zip/ZIPParallelCopy.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/container/ZipHandle.h"
#include "platform/BlockPipe.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/Processors.h"
#include "platform/Secrets.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vexa {

namespace {

// The fields the core needs after the reader has moved on or been released.
struct EntryRecord {
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flag = 0;
    std::int64_t modifiedDate = 0;
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint16_t aesVersion = 0;
    std::int64_t compressedSize = 0;
};

EntryRecord currentRecord(ZIPReader& reader) {
    const ZipFileInfo& info = reader.currentInfo();
    return {info.version_madeby, info.flag,        info.modified_date,  info.crc,
            info.external_fa,    info.aes_version, info.compressed_size};
}

// Some writers name a Unix host and leave the high half empty: no mode was stored, and taken
// literally it would give a file nobody may read.
mode_t restoredMode(const EntryRecord& record) {
    const int host = record.versionMadeBy >> 8;
    if ((host == 3 || host == 19) && (record.externalAttributes >> 16) != 0)
        return (record.externalAttributes >> 16) & 0777;
    return 0644;
}

void restoreAttributes(int fd, const EntryRecord& record, const std::filesystem::path& location) {
    if (::fchmod(fd, restoredMode(record)) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(record.modifiedDate), 0}};
    if (::futimens(fd, times) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
}

} // namespace

namespace {

// Consecutive entries that one worker writes in listing order. An entry weighs its size plus
// what making a file costs, and a key derivation for an encrypted one; the cut keeps chunks
// large enough that a worker's walk of the directory costs little, and small enough that the
// work spreads evenly.
struct Chunk {
    std::size_t begin = 0;
    std::size_t end = 0;
};

std::int64_t weightOf(const ArchiveItem& entry) {
    constexpr std::int64_t perFile = 16 << 10;
    constexpr std::int64_t perKey = 512 << 10;
    return std::max<std::int64_t>(entry.size, 1) + perFile + (entry.isEncrypted ? perKey : 0);
}

std::vector<Chunk> chunksOf(const std::vector<ArchiveItem>& entries, unsigned workers) {
    std::int64_t total = 0;
    for (const ArchiveItem& entry : entries)
        total += weightOf(entry);
    const std::int64_t target = std::max<std::int64_t>(total / (workers * 8), 4 << 20);
    std::vector<Chunk> chunks;
    Chunk current;
    std::int64_t filled = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        filled += weightOf(entries[i]);
        current.end = i + 1;
        if (filled >= target) {
            chunks.push_back(current);
            current = {i + 1, i + 1};
            filled = 0;
        }
    }
    if (current.end > current.begin)
        chunks.push_back(current);
    return chunks;
}

// From this size on, an entry's own data is spread over threads.
constexpr std::int64_t largeEntrySize = 8 << 20;

unsigned workerCount() {
    return std::min(platform::usableCores(), 8u);
}

} // namespace

void ZIPArchiveEngine::extractEntries(const std::filesystem::path& archive,
                                      const std::vector<ArchiveItem>& entries, Progress& progress,
                                      std::int64_t limit, bool noLimit,
                                      const OutputLocation& outputOf) const {
    std::int64_t units = 0;
    for (const ArchiveItem& entry : entries)
        units += std::max<std::int64_t>(entry.size, 1);
    progress.setTotalUnitCount(units);

    std::optional<std::string> passwordBytes = workingPassword();
    const secrets::WipedOnExit wipePassword(passwordBytes);

    // ZIP entries are independent, so chunks of them go to several workers, each with its own
    // reader. The failure reported is the one of the earliest entry, as one worker would meet it.
    const std::vector<Chunk> chunks = chunksOf(entries, workerCount());
    std::atomic<std::size_t> nextChunk{0};
    std::atomic<std::size_t> stopAt{entries.size()};
    std::mutex failureMutex;
    std::size_t failedAt = entries.size();
    std::exception_ptr failure;
    files::ExtractedFolders folders;

    const auto work = [&] {
        std::size_t current = entries.size();
        try {
            ZIPReader reader(archive);
            int status = reader.handle->gotoFirstEntry();
            const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(
                static_cast<std::size_t>(bufferSize));
            std::filesystem::path madeFolder;
            // Units are handed over in batches: workers taking the progress lock for every
            // small file would wait on each other.
            std::int64_t pending = 0;
            const auto flush = [&] {
                if (pending > 0)
                    progress.addCompletedUnits(std::exchange(pending, 0));
            };
            const UnitSink completed = [&](std::int64_t units) {
                pending += units;
                if (pending >= (1 << 20))
                    flush();
            };
            // After a failure, entries before it are still written, so that an earlier
            // failure is found as one pass would find it.
            while (true) {
                const std::size_t index = nextChunk.fetch_add(1);
                if (index >= chunks.size())
                    break;
                for (current = chunks[index].begin; current < chunks[index].end; ++current) {
                    if (current >= stopAt.load())
                        return;
                    extractEntry(reader, status, entries[current], progress, completed, limit,
                                 noLimit, outputOf, passwordBytes, buffer.get(), madeFolder,
                                 folders);
                }
                flush();
            }
        } catch (...) {
            std::lock_guard lock(failureMutex);
            if (current < failedAt || !failure) {
                failedAt = current;
                failure = std::current_exception();
            }
            // A failure outside any entry (the reader's own) stops every worker.
            stopAt = current == entries.size() ? 0 : std::min(current, stopAt.load());
        }
    };

    platform::WorkerPool::process().run(std::min<std::size_t>(workerCount(), chunks.size()),
                                        [&](std::size_t) { work(); });
    if (failure)
        std::rethrow_exception(failure);
    folders.finish();
}

void ZIPArchiveEngine::extractEntry(ZIPReader& reader, int& status, const ArchiveItem& entry,
                                    Progress& progress, const UnitSink& completed,
                                    std::int64_t limit, bool noLimit,
                                    const OutputLocation& outputOf,
                                    const std::optional<std::string>& passwordBytes,
                                    unsigned char* buffer, std::filesystem::path& madeFolder,
                                    files::ExtractedFolders& folders) const {
    progress.throwIfCancelled();
    const std::filesystem::path output = outputOf(entry);
    if (entry.isDirectory) {
        createOutputFolders(output);
        reader.moveForwardTo(status, entry.path);
        folders.add(output,
                    files::FileTime(std::chrono::seconds(currentRecord(reader).modifiedDate)));
        completed(1);
        return;
    }

    reader.moveForwardTo(status, entry.path);
    const EntryRecord record = currentRecord(reader);
    if (entry.isEncrypted && !password)
        throw ArchiveFailure::passwordRequired();

    // Neighbouring entries share their folder: it is made (or found) once.
    std::filesystem::path folder = output.parent_path();
    if (folder != madeFolder) {
        createOutputFolders(folder);
        madeFolder = std::move(folder);
    }
    // The system's own reason (a name too long, a full disk) says more than "could not save".
    // Made 0600 and given its mode once, when it is complete.
    files::FileDescriptor file(files::createPrivateFile(output));

    check(reader.zip->entryReadOpen(0, passwordBytes ? passwordBytes->c_str() : nullptr));
    // Data decrypted with a wrong password that passed the header's one-byte check has any
    // length and content, so a mismatch in an encrypted entry reads as a wrong password.
    const bool encrypted = (record.flag & 1) != 0;
    const auto mismatch = [&] {
        if (encrypted)
            return ArchiveFailure::wrongPassword();
        return ArchiveFailure::corrupt(entry.path);
    };
    // Reads the entry to its end into the pieces `piece` gives, handing each filled one to
    // `take` once its size passed the checks; answers the byte count.
    const auto readAll = [&](int capacity, auto&& piece, auto&& take) {
        std::int64_t total = 0;
        while (true) {
            progress.throwIfCancelled();
            unsigned char* data = piece();
            const std::int32_t count = reader.zip->entryRead(data, capacity);
            checkDataRead(count, encrypted);
            if (count == 0)
                return total;
            total += count;
            if (total > entry.size)
                throw mismatch();
            if (!noLimit && total > limit)
                throw ArchiveFailure::corrupt(entry.path);
            take(data, count);
        }
    };

    std::uint32_t crc = 0;
    std::int64_t written = 0;
    const bool large = entry.size >= largeEntrySize;
    if (large && record.compressedSize == entry.size && (noLimit || entry.size <= limit) &&
        reader.zip->entryReadAt(0, nullptr, 0) == 0) {
        // Bytes stored as they are: reading and the CRC-32 spread over threads while the
        // writes, which the kernel takes one at a time for a file, follow each other. A piece
        // is read and checked in about the time one is written, so past three threads the
        // writes are the limit and more threads only cost.
        crc = copyStoredInParallel(*reader.zip, entry.size, file.get(), output, progress,
                                   std::min(workerCount(), 3u));
        written = entry.size;
    } else if (large) {
        // The CRC-32 and the writes on a thread of their own, so that reading the entry
        // (inflating, decrypting) never waits for them.
        platform::WriteBehind writer(
            1 << 20, 4, [&, fd = file.get()](const char* data, std::size_t length) {
                crc = platform::crc32(crc, data, length);
                files::writeAll(fd, data, length, output);
                progress.addCompletedUnits(static_cast<std::int64_t>(length));
            });
        try {
            written = readAll(
                static_cast<int>(writer.blockSize()),
                [&] { return reinterpret_cast<unsigned char*>(writer.block()); },
                [&](unsigned char*, std::int32_t count) {
                    writer.hand(static_cast<std::size_t>(count));
                });
            writer.finish();
        } catch (...) {
            writer.finish();
            throw;
        }
    } else {
        // zlib's CRC-32 through ISA-L: the same values, about four times as fast.
        std::uint32_t running = 0;
        written = readAll(
            bufferSize, [&] { return buffer; },
            [&](unsigned char* data, std::int32_t count) {
                running = platform::crc32(running, data, static_cast<std::uint64_t>(count));
                files::writeAll(file.get(), data, static_cast<std::size_t>(count), output);
                completed(count);
            });
        crc = static_cast<std::uint32_t>(running);
    }
    check(reader.zip->entryReadClose(nullptr, nullptr, nullptr));
    if (written != entry.size)
        throw mismatch();
    // AE-2 leaves the CRC-32 out on purpose; its authentication code stands in for it.
    if (record.aesVersion != 2 && crc != record.crc)
        throw mismatch();
    if (written == 0)
        completed(1);
    restoreAttributes(file.get(), record, output);
    ::close(file.release());
}

} // namespace vexa
