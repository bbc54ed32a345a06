#include "PlacedExtraction.h"

#include "TarReadFailure.h"
#include "XzBlocks.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/Crc32.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"
#include "platform/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vexa::tar {

namespace {

constexpr std::size_t chunkSize = 256 * 1024;
constexpr std::size_t stripeCount = 64;
// Completed units are reported in steps of this many bytes, so the threads rarely meet there.
constexpr std::int64_t reportStep = 1 << 20;

struct Segment {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::size_t entry = 0;
    bool header = false;
};

struct HeaderPiece {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::uint32_t crc = 0;
};

struct EntryState {
    std::atomic<std::int64_t> remaining{0};
    // Guarded by the entry's stripe.
    int descriptor = -1;
    bool created = false;
    std::vector<HeaderPiece> pieces;
};

class Extraction {
  public:
    Extraction(const std::vector<PlacedEntry>& entries, const ExtractionTree& tree,
               Progress& progress)
        : entries_(entries), tree_(tree), progress_(progress), states_(entries.size()) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const TarPlacement& place = entries[i].placement;
            segments_.push_back({place.headerOffset, place.dataOffset, i, true});
            if (!entries[i].isDirectory && entries[i].size > 0)
                segments_.push_back(
                    {place.dataOffset, place.dataOffset + entries[i].size, i, false});
            states_[i].remaining = entries[i].isDirectory ? 0 : entries[i].size;
        }
    }

    ~Extraction() {
        for (EntryState& state : states_)
            if (state.descriptor >= 0)
                ::close(state.descriptor);
    }

    // The segments follow one another in the stream, as a listing read them.
    bool ordered() const {
        for (std::size_t i = 0; i < segments_.size(); ++i) {
            if (segments_[i].end <= segments_[i].start)
                return false;
            if (i > 0 && segments_[i].start < segments_[i - 1].end)
                return false;
        }
        return !segments_.empty();
    }

    void run(std::vector<DecodedPiece> pieces, std::size_t threads) {
        // Only the pieces that hold something chosen.
        std::erase_if(pieces, [&](const DecodedPiece& piece) {
            auto first = firstSegmentEndingAfter(piece.start);
            return first == segments_.end() || first->start >= piece.start + piece.size;
        });
        pieces_ = std::move(pieces);
        if (pieces_.empty())
            return;
        platform::WorkerPool::process().run(std::clamp<std::size_t>(threads, 1, pieces_.size()),
                                            [this](std::size_t) { work(); });
        if (failure_)
            std::rethrow_exception(failure_);
        progress_.throwIfCancelled();
        verify();
    }

  private:
    std::vector<Segment>::const_iterator firstSegmentEndingAfter(std::int64_t offset) const {
        return std::upper_bound(
            segments_.begin(), segments_.end(), offset,
            [](std::int64_t value, const Segment& segment) { return value < segment.end; });
    }

    std::mutex& stripe(std::size_t entry) { return stripes_[entry % stripeCount]; }

    void work() {
        std::vector<char> chunk(chunkSize);
        std::int64_t unreported = 0;
        try {
            for (;;) {
                std::size_t index = next_.fetch_add(1);
                if (index >= pieces_.size() || stopped_)
                    break;
                decode(pieces_[index], chunk, unreported);
            }
        } catch (...) {
            std::lock_guard lock(failureMutex_);
            if (!failure_)
                failure_ = std::current_exception();
            stopped_ = true;
        }
        if (unreported > 0)
            progress_.addCompletedUnits(unreported);
    }

    void decode(const DecodedPiece& piece, std::vector<char>& chunk, std::int64_t& unreported) {
        std::unique_ptr<ByteSource> decoder = piece.open();
        std::int64_t at = piece.start;
        while (std::size_t count = decoder->read(chunk.data(), chunk.size())) {
            if (stopped_)
                return;
            if (progress_.isCancelled()) {
                stopped_ = true;
                return;
            }
            place(chunk.data(), at, count, unreported);
            at += static_cast<std::int64_t>(count);
            if (unreported >= reportStep) {
                progress_.addCompletedUnits(unreported);
                unreported = 0;
            }
        }
        if (at != piece.start + piece.size)
            throw damagedArchive();
    }

    void place(const char* data, std::int64_t at, std::size_t count, std::int64_t& unreported) {
        std::int64_t end = at + static_cast<std::int64_t>(count);
        for (auto segment = firstSegmentEndingAfter(at);
             segment != segments_.end() && segment->start < end; ++segment) {
            std::int64_t from = std::max(at, segment->start);
            std::int64_t to = std::min(end, segment->end);
            const char* bytes = data + (from - at);
            if (segment->header)
                header(segment->entry, from, bytes, to - from, to == segment->end, unreported);
            else
                write(segment->entry, from, bytes, to - from, unreported);
        }
    }

    void header(std::size_t entry, std::int64_t offset, const char* bytes, std::int64_t length,
                bool last, std::int64_t& unreported) {
        std::uint32_t crc = platform::crc32(0, bytes, static_cast<std::size_t>(length));
        {
            std::lock_guard lock(stripe(entry));
            states_[entry].pieces.push_back({offset, length, crc});
        }
        const PlacedEntry& placed = entries_[entry];
        if (!last || (!placed.isDirectory && placed.size > 0))
            return;
        // Folders exist already; an empty file is made once its header has gone by.
        if (!placed.isDirectory)
            finishFile(entry, tree_.openNewFile(placed.relative, placed.placement.permissions));
        ++unreported;
    }

    void write(std::size_t entry, std::int64_t offset, const char* bytes, std::int64_t length,
               std::int64_t& unreported) {
        EntryState& state = states_[entry];
        const PlacedEntry& placed = entries_[entry];
        int descriptor = -1;
        {
            std::lock_guard lock(stripe(entry));
            if (!state.created) {
                state.descriptor =
                    tree_.openNewFile(placed.relative, placed.placement.permissions).release();
                state.created = true;
            }
            descriptor = state.descriptor;
        }
        if (length <= 0)
            return;
        if (const int error =
                platform::writeFully(descriptor, bytes, static_cast<std::size_t>(length),
                                     static_cast<off_t>(offset - placed.placement.dataOffset)))
            throw PlatformError::fromErrno(error, tree_.locationOf(placed.relative).string(), true);
        unreported += length;
        // The thread that writes a file's last bytes closes it: nobody else uses it then.
        if (state.remaining.fetch_sub(length) == length) {
            files::FileDescriptor file;
            {
                std::lock_guard lock(stripe(entry));
                file = files::FileDescriptor(state.descriptor);
                state.descriptor = -1;
            }
            finishFile(entry, std::move(file));
        }
    }

    void finishFile(std::size_t entry, files::FileDescriptor file) {
        const PlacedEntry& placed = entries_[entry];
        if (placed.placement.modificationTime) {
            const struct timespec times[2] = {{0, UTIME_OMIT}, *placed.placement.modificationTime};
            if (::futimens(file.get(), times) != 0)
                throw PlatformError::fromErrno(errno, tree_.locationOf(placed.relative).string(),
                                               true);
        }
        file.close();
    }

    // Every chosen header read back as the listing read it, every file complete.
    void verify() {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            EntryState& state = states_[i];
            const TarPlacement& place = entries_[i].placement;
            std::sort(
                state.pieces.begin(), state.pieces.end(),
                [](const HeaderPiece& a, const HeaderPiece& b) { return a.offset < b.offset; });
            std::int64_t at = place.headerOffset;
            std::uint32_t crc = 0;
            for (const HeaderPiece& piece : state.pieces) {
                if (piece.offset != at)
                    throw ArchiveFailure::archiveChanged();
                crc = platform::crc32Combine(crc, piece.crc, piece.length);
                at += piece.length;
            }
            if (at != place.dataOffset || crc != place.headerCrc || state.remaining != 0)
                throw ArchiveFailure::archiveChanged();
        }
    }

    const std::vector<PlacedEntry>& entries_;
    const ExtractionTree& tree_;
    Progress& progress_;
    std::vector<EntryState> states_;
    std::vector<Segment> segments_;
    std::vector<DecodedPiece> pieces_;
    std::mutex stripes_[stripeCount];
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    std::mutex failureMutex_;
    std::exception_ptr failure_;
};

} // namespace

bool extractPieces(const std::vector<PlacedEntry>& entries, std::vector<DecodedPiece> pieces,
                   std::size_t threads, const ExtractionTree& tree, Progress& progress) {
    Extraction extraction(entries, tree, progress);
    if (!extraction.ordered())
        return false;
    extraction.run(std::move(pieces), threads);
    return true;
}

bool extractXzBlocks(const std::filesystem::path& archive, const std::vector<PlacedEntry>& entries,
                     const ExtractionTree& tree, Progress& progress, const KeptBlocks* kept) {
    files::FileDescriptor file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError::fromErrno(errno, archive.string(), false);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw PlatformError::fromErrno(errno, archive.string(), false);
    std::optional<std::vector<XzBlock>> blocks = readXzBlocks(file.get(), status.st_size);
    if (!blocks || blocks->size() < 2)
        return false;
    int descriptor = file.get();
    if (kept && kept->size() != blocks->size())
        kept = nullptr;
    std::vector<DecodedPiece> pieces;
    for (std::size_t i = 0; i < blocks->size(); ++i) {
        const XzBlock& block = (*blocks)[i];
        std::shared_ptr<const KeptBlock> whole = kept ? (*kept)[i] : nullptr;
        pieces.push_back({block.uncompressedOffset, block.uncompressedSize,
                          [descriptor, block, whole]() -> std::unique_ptr<ByteSource> {
                              if (whole)
                                  return std::make_unique<KeptBlockSource>(whole);
                              return std::make_unique<XzBlockDecoder>(descriptor, block);
                          }});
    }
    return extractPieces(entries, std::move(pieces),
                         xzDecodingThreads(descriptor, *blocks, chunkSize), tree, progress);
}

} // namespace vexa::tar
