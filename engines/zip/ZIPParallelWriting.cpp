#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPEntryHeader.h"
#include "engines/zip/ZIPPieceCompression.h"
#include "engines/zip/ZIPWriter.h"
#include "engines/zip/container/WinZipAes.h"
#include "platform/Crc32.h"
#include "platform/PlatformError.h"
#include "platform/Secrets.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <thread>

namespace vexa {

namespace {

// A file larger than this is cut into pieces of this size, compressed side by side.
constexpr std::int64_t pieceSize = 1 << 20;
// Source bytes planned but not yet written. Finished pieces wait in memory for their turn, so
// this bounds the memory of the whole job whatever the sizes of the sources.
constexpr std::int64_t plannedBytesLimit = 16 << 20;
constexpr std::size_t plannedPiecesLimit = 512;

// Compressors at the most; more add little beside one writer.
constexpr std::size_t compressorsLimit = 8;

// One entry as the writer plans it; its pieces (none for a folder) share its source.
struct PlannedEntry {
    std::string name;
    ZipFileInfo header;
    bool isDirectory = false;
    std::shared_ptr<Progress> child;
    std::shared_ptr<PieceSource> source;
};

struct Slot {
    std::shared_ptr<PlannedEntry> entry;
    Piece piece;
    bool first = true;
    bool needsWork = true;
    bool done = false;
    std::exception_ptr failure;
};

// Pieces in archive order: the writer plans them at the back and takes them from the front when
// done; workers compress them in between, in the same order.
class PieceQueue {
  public:
    // The compressors are cores borrowed from the process's worker pool. The writer only plans,
    // writes and waits, so its own core is lent with the others; with none to lend, one
    // compressor still runs, since the writer waits for it.
    PieceQueue(int bufferSize, const Progress& progress)
        : cores_(platform::WorkerPool::process().borrow(compressorsLimit,
                                                        platform::WorkerPool::Asker::waits)) {
        const unsigned workers = std::max(cores_.count(), 1u);
        threads_.reserve(workers);
        for (unsigned i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back(
                    [this, bufferSize, &progress] { work(bufferSize, progress); });
            } catch (const std::system_error&) {
                // Fewer workers still finish the job; none at all leaves nothing to join.
                if (threads_.empty())
                    throw;
                break;
            }
        }
    }
    // Workers drop what they hold: once the writer is gone nobody waits for it.
    ~PieceQueue() {
        stopping_ = true;
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        work_.notify_all();
        threads_.clear(); // joins
    }
    PieceQueue(const PieceQueue&) = delete;
    PieceQueue& operator=(const PieceQueue&) = delete;

    std::size_t size() const { return slots_.size(); }

    void push(Slot slot) {
        {
            std::lock_guard lock(mutex_);
            slots_.push_back(std::move(slot));
            skipReady();
        }
        work_.notify_one();
    }

    // The front slot once its piece is compressed.
    Slot& front() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return slots_.front().done; });
        return slots_.front();
    }

    void pop() {
        std::lock_guard lock(mutex_);
        slots_.pop_front();
        --claimed_;
    }

  private:
    // Slots that need no worker count as taken as soon as every slot before them is, so that
    // the taken ones are always the front ones and the writer never drops a slot a worker holds.
    void skipReady() {
        while (claimed_ < slots_.size() && !slots_[claimed_].needsWork)
            ++claimed_;
    }

    void work(int bufferSize, const Progress& progress) {
        PieceCompressor compressor(bufferSize, progress, stopping_);
        while (true) {
            Slot* slot = nullptr;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return stop_ || claimed_ < slots_.size(); });
                if (stop_)
                    return;
                slot = &slots_[claimed_++];
                skipReady();
            }
            try {
                compressor.compress(slot->piece);
            } catch (...) {
                slot->failure = std::current_exception();
            }
            {
                std::lock_guard lock(mutex_);
                slot->done = true;
            }
            done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    // A deque keeps every other slot in place when one is added or removed.
    std::deque<Slot> slots_;
    std::size_t claimed_ = 0; // the front slots that a worker has taken
    bool stop_ = false;
    std::atomic<bool> stopping_{false};
    platform::WorkerPool::Lease cores_;
    std::vector<std::jthread> threads_;
};

// The running state of the entry being written.
struct OpenEntry {
    std::uint32_t crc = 0;
    std::int64_t consumed = 0;
    std::int64_t written = 0;
    std::unique_ptr<WinZipAes> aes;
};

void writeBytes(ZIPWriter& writer, std::uint8_t* data, std::size_t length,
                const std::filesystem::path& location) {
    const std::int32_t written = writer.zip->entryWrite(data, static_cast<std::int32_t>(length));
    ZIPArchiveEngine::check(written);
    if (static_cast<std::size_t>(written) != length)
        throw PlatformError(PlatformError::Code::fileWriteUnknown, location.string());
}

} // namespace

void ZIPArchiveEngine::addFiles(const std::vector<ZIPSourceEntry>& entries, ZIPWriter& writer,
                                bool useCompression, Progress& progress) const {
    std::optional<std::string> passwordBytes = workingPassword();
    const secrets::WipedOnExit wipePassword(passwordBytes);

    std::size_t nextEntry = 0;
    std::shared_ptr<PlannedEntry> cutEntry; // the file whose pieces are being planned
    std::int64_t cutOffset = 0;
    std::int64_t plannedBytes = 0;

    // Declared after what its workers read, so that it stops them before those go.
    PieceQueue queue(bufferSize, progress);

    // Plans the next piece; false when everything is planned.
    const auto planNext = [&]() -> bool {
        Slot slot;
        if (cutEntry) {
            slot.entry = cutEntry;
            slot.piece.source = cutEntry->source;
            slot.piece.offset = cutOffset;
            slot.piece.length = std::min(pieceSize, cutEntry->source->size - cutOffset);
            slot.piece.last = cutOffset + pieceSize >= cutEntry->source->size;
            slot.first = false;
            cutOffset += slot.piece.length;
            plannedBytes += slot.piece.length;
            if (slot.piece.last)
                cutEntry.reset();
            queue.push(std::move(slot));
            return true;
        }
        if (nextEntry == entries.size())
            return false;
        const ZIPSourceEntry& source = entries[nextEntry++];
        try {
            progress.throwIfCancelled();
            const std::filesystem::path location(source.url.string());
            // A special file put in place of a walked one could block its read for ever.
            const files::FileAttributes attributes = admittedSource(location, source.path);
            auto entry = std::make_shared<PlannedEntry>();
            entry->isDirectory = attributes.type == files::FileType::directory;
            const bool encrypted = passwordBytes.has_value() && !entry->isDirectory;
            entry->header = newEntryHeader(attributes, useCompression, encrypted);
            entry->name =
                entry->isDirectory && !source.path.ends_with('/') ? source.path + "/" : source.path;
            const std::int64_t size = entry->header.uncompressed_size;
            entry->child = std::make_shared<Progress>(std::max<std::int64_t>(size, 1));
            progress.addChild(entry->child, 1);
            slot.entry = entry;
            if (entry->isDirectory) {
                slot.needsWork = false;
                slot.done = true;
                queue.push(std::move(slot));
                return true;
            }
            auto file = std::make_shared<PieceSource>();
            file->path = source.path;
            file->location = location;
            file->size = size;
            file->compress = useCompression;
            file->child = entry->child;
            file->cut = size > pieceSize;
            if (file->cut) {
                file->descriptor = files::FileDescriptor(
                    ::open(location.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                if (file->descriptor.get() < 0)
                    throw PlatformError(PlatformError::Code::fileReadNoPermission,
                                        location.string(), errno);
            } else if (encrypted) {
                file->password = &*passwordBytes;
            }
            entry->source = file;
            slot.piece.source = file;
            slot.piece.length = std::min(pieceSize, size);
            slot.piece.last = !file->cut;
            plannedBytes += slot.piece.length;
            if (file->cut) {
                cutEntry = entry;
                cutOffset = slot.piece.length;
            }
        } catch (...) {
            // Met in archive order, after the entries before it are written.
            slot.failure = std::current_exception();
            slot.needsWork = false;
            slot.done = true;
            nextEntry = entries.size();
        }
        queue.push(std::move(slot));
        return true;
    };

    OpenEntry open;
    bool planning = true;
    while (true) {
        while (planning && (queue.size() == 0 || (plannedBytes < plannedBytesLimit &&
                                                  queue.size() < plannedPiecesLimit)))
            planning = planNext();
        if (queue.size() == 0)
            break;
        Slot& slot = queue.front();
        if (slot.failure)
            std::rethrow_exception(slot.failure);
        PlannedEntry& entry = *slot.entry;
        Piece& piece = slot.piece;
        plannedBytes -= piece.length;

        if (entry.isDirectory) {
            // Written with its (empty) sizes known, the header needs no second visit.
            entry.header.compression_method = 0;
            writer.openRawEntry(entry.name, entry.header);
            check(writer.zip->entryWriteClose(0, 0, 0));
        } else if (slot.first && piece.last) {
            // The whole entry is at hand: its header is written complete at once.
            const std::uint32_t crc = entry.header.aes_version == 2 ? 0 : piece.crc;
            entry.header.flag |= entry.header.aes_version != 0 ? 1 : 0;
            entry.header.crc = crc;
            entry.header.compressed_size = static_cast<std::int64_t>(piece.bytes.size());
            entry.header.uncompressed_size = piece.consumed;
            writer.openRawEntry(entry.name, entry.header);
            writeBytes(writer, piece.bytes.data(), piece.bytes.size(), entry.source->location);
            check(writer.zip->entryWriteClose(crc, entry.header.compressed_size, piece.consumed));
        } else {
            if (slot.first) {
                open = OpenEntry{};
                writer.openPrecompressedEntry(entry.name, entry.header, useCompression);
                if (entry.header.aes_version != 0) {
                    std::uint8_t start[32];
                    open.aes = std::make_unique<WinZipAes>();
                    const std::size_t length = startNewEntryAes(*open.aes, *passwordBytes, start);
                    writeBytes(writer, start, length, entry.source->location);
                    open.written += static_cast<std::int64_t>(length);
                }
            }
            if (open.aes && !open.aes->encrypt(piece.bytes.data(), piece.bytes.size()))
                check(-106);
            writeBytes(writer, piece.bytes.data(), piece.bytes.size(), entry.source->location);
            open.written += static_cast<std::int64_t>(piece.bytes.size());
            open.crc = static_cast<std::uint32_t>(
                platform::crc32Combine(open.crc, piece.crc, piece.consumed));
            open.consumed += piece.consumed;
            if (piece.last) {
                if (open.aes) {
                    std::uint8_t code[WinZipAes::authCodeSize];
                    if (!open.aes->authCode(code))
                        check(-106);
                    writeBytes(writer, code, sizeof code, entry.source->location);
                    open.written += static_cast<std::int64_t>(sizeof code);
                }
                check(writer.zip->entryWriteClose(entry.header.aes_version == 2 ? 0 : open.crc,
                                                  open.written, open.consumed));
                open = OpenEntry{};
            }
        }
        if (piece.last)
            entry.child->setCompletedUnitCount(entry.child->totalUnitCount());
        queue.pop();
    }
}

} // namespace vexa
