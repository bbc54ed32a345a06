#include "XzHeaderSource.h"

#include "TarReadFailure.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace vexa::tar {

namespace {

constexpr std::int64_t recordSize = 512;
constexpr std::size_t chunkSize = 256 * 1024;
// What one block may keep: some 13,000 headers of short names (a 24 MiB block of xz -6 with
// entries of 2 KiB on average). A block of more entries than that (tiny files) is listed from
// the start instead. What the blocks waiting for the reader keep counts in the listing's budget
// beside the decoders and the blocks kept whole.
constexpr std::size_t keptCap = 4u << 20;
constexpr std::size_t fillSize = 64 * 1024;

const std::array<char, fillSize>& zeroBytes() {
    static const std::array<char, fillSize> bytes{};
    return bytes;
}

const std::array<char, fillSize>& unreadableBytes() {
    static const std::array<char, fillSize> bytes = [] {
        std::array<char, fillSize> filled;
        filled.fill(static_cast<char>(0xFF));
        return filled;
    }();
    return bytes;
}

bool isZeroRecord(const char* record) {
    static const char zeros[recordSize] = {};
    return std::memcmp(record, zeros, recordSize) == 0;
}

// An octal field as TAR readers take it: leading blanks, then octal digits.
std::int64_t octalField(const char* field, std::size_t size, bool& digits) {
    std::size_t i = 0;
    while (i < size && (field[i] == ' ' || field[i] == '\t'))
        ++i;
    std::int64_t value = 0;
    digits = false;
    for (; i < size && field[i] >= '0' && field[i] <= '7'; ++i) {
        value = value * 8 + (field[i] - '0');
        digits = true;
    }
    return value;
}

// A record whose checksum field matches its bytes, summed as unsigned or as signed bytes.
bool carriesHeaderChecksum(const char* record) {
    char first = record[148];
    if (!(first == ' ' || first == '\t' || (first >= '0' && first <= '7')))
        return false;
    bool digits = false;
    std::int64_t stated = octalField(record + 148, 8, digits);
    if (!digits)
        return false;
    std::int64_t unsignedSum = 8 * ' ';
    std::int64_t signedSum = 8 * ' ';
    for (std::int64_t i = 0; i < recordSize; ++i) {
        if (i >= 148 && i < 156)
            continue;
        unsignedSum += static_cast<unsigned char>(record[i]);
        signedSum += static_cast<signed char>(record[i]);
    }
    return stated == unsignedSum || stated == signedSum;
}

// File data, links, devices and folders: what follows them is skipped, never read as headers.
bool describesItself(char type) {
    return type == '\0' || (type >= '0' && type <= '7');
}

// What keeping a decoded block compressed is expected to hold: zstd's fastest level makes
// text about half again as large as LZMA does. A block xz stored as it is (random data) is not
// kept at all (0): decoding it again is a copy of the file.
std::uint64_t compressedKeepingEstimate(const XzBlock& block) {
    if (block.totalSize >= block.uncompressedSize - block.uncompressedSize / 64)
        return 0;
    return std::min<std::uint64_t>(block.uncompressedSize, block.totalSize + block.totalSize / 2);
}

// Brings `published` up to `made`, which has only grown since: entries were added, and the
// last one published may have grown.
template <class Entry>
void publishTail(std::vector<Entry>& published, const std::vector<Entry>& made) {
    if (!published.empty())
        published.back() = made[published.size() - 1];
    published.insert(published.end(), made.begin() + static_cast<std::ptrdiff_t>(published.size()),
                     made.end());
}

} // namespace

XzHeaderSource::XzHeaderSource(int descriptor, std::int64_t fileSize, std::vector<XzBlock> blocks,
                               Progress& progress, bool countsUnits)
    : descriptor_(descriptor), blocks_(std::move(blocks)), progress_(progress),
      countsUnits_(countsUnits), unitsAtEnd_(fileSize), sketches_(blocks_.size()),
      keptBlocks_(blocks_.size()) {
    for (const XzBlock& block : blocks_)
        unitsAtEnd_ -= block.totalSize;
    if (!blocks_.empty())
        total_ = blocks_.back().uncompressedOffset + blocks_.back().uncompressedSize;
    const std::size_t wanted =
        blocks_.empty()
            ? 1
            : std::min(xzDecodingThreads(descriptor_, blocks_, chunkSize), blocks_.size());
    cores_ = platform::WorkerPool::process().borrow(wanted, platform::WorkerPool::Asker::waits);
    // One decoder at least, even when the cores are all lent: the reader waits for it.
    const std::size_t count = std::max<std::size_t>(cores_.count(), 1);
    // A decoder that finished early (a block of random data, stored as it is) goes on with the
    // blocks after the window instead of waiting for the reader; what it has done waits as small
    // sketches and kept blocks, the latter within their budget.
    window_ = 2 * count;
    if (!blocks_.empty())
        memory_ = xzListingMemory(descriptor_, blocks_, chunkSize);
    std::vector<BlockToKeep> toKeep;
    for (const XzBlock& block : blocks_)
        toKeep.push_back(
            {static_cast<std::uint64_t>(block.uncompressedSize), compressedKeepingEstimate(block)});
    // The last blocks kept may be decoded beside every decoder. The decoders count in the same
    // budget as the blocks kept while they decode, so a block compressed beyond its estimate
    // may use the room of those done.
    const std::uint64_t decoders = count * memory_.perDecoder;
    keeping_ = planKeeping(toKeep, memory_.budget > decoders ? memory_.budget - decoders : 0);
    try {
        for (std::size_t i = 0; i < count; ++i)
            threads_.emplace_back([this] { work(); });
    } catch (...) {
        // No destructor runs for a constructor that throws: the started threads end here.
        stopThreads();
        throw;
    }
}

XzHeaderSource::~XzHeaderSource() {
    stopThreads();
}

void XzHeaderSource::stopThreads() noexcept {
    stopping_ = true;
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

bool XzHeaderSource::suits(const std::vector<XzBlock>& blocks) {
    return blocks.size() >= 2 && std::all_of(blocks.begin(), blocks.end(), [](const XzBlock& b) {
               return b.uncompressedOffset % recordSize == 0;
           });
}

void XzHeaderSource::work() {
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] {
                return stopping_ || nextToSketch_ >= blocks_.size() ||
                       nextToSketch_ < current_ + window_;
            });
            if (stopping_ || nextToSketch_ >= blocks_.size())
                return;
            index = nextToSketch_++;
        }
        try {
            sketch(index);
        } catch (...) {
            std::lock_guard lock(mutex_);
            sketches_[index].failure = std::current_exception();
        }
        changed_.notify_all();
    }
}

void XzHeaderSource::sketch(std::size_t index) {
    const XzBlock& block = blocks_[index];
    Sketch& shared = sketches_[index];
    // The decoder is held whatever the budget says; only keeping gives way.
    heldBytes_ += memory_.perDecoder;
    struct Release {
        std::atomic<std::uint64_t>& held;
        std::uint64_t bytes;
        ~Release() { held -= bytes; }
    } release{heldBytes_, memory_.perDecoder};
    XzBlockDecoder decoder(descriptor_, block);
    std::optional<BlockKeeper> keeper;
    if (keeping_[index] != Keeping::none)
        keeper.emplace(memory_.budget, heldBytes_, block.uncompressedSize,
                       keeping_[index] == Keeping::asItIs);
    std::vector<char> chunk(chunkSize);
    const std::int64_t blockEnd = block.uncompressedOffset + block.uncompressedSize;
    std::int64_t at = block.uncompressedOffset;
    std::int64_t keepUntil = 0; // the data of an extended header runs to here
    // Never moved while the block lives, so that the reader may borrow what was published.
    std::unique_ptr<char[]> owned = std::make_unique_for_overwrite<char[]>(keptCap);
    char* const bytes = owned.get();
    {
        std::lock_guard lock(mutex_);
        shared.bytes = std::move(owned);
    }
    std::size_t byteCount = 0;
    // Published to `shared` after every chunk; the last entry of each may grow after that.
    std::vector<Kept> kept;
    std::vector<std::pair<std::int64_t, std::int64_t>> zeros;
    auto publish = [&] {
        {
            std::lock_guard lock(mutex_);
            publishTail(shared.kept, kept);
            publishTail(shared.zeros, zeros);
            shared.scanned = at;
        }
        changed_.notify_all();
    };
    auto keep = [&](std::int64_t offset, const char* record, std::size_t size) {
        if (byteCount + size > keptCap)
            throw damagedArchive();
        if (kept.empty() || kept.back().end() != offset)
            kept.push_back({offset, byteCount, 0});
        std::memcpy(bytes + byteCount, record, size);
        byteCount += size;
        kept.back().size += size;
    };
    auto zero = [&](std::int64_t offset, std::int64_t size) {
        if (!zeros.empty() && zeros.back().second == offset)
            zeros.back().second += size;
        else
            zeros.push_back({offset, offset + size});
    };
    while (std::size_t count = decoder.read(chunk.data(), chunk.size())) {
        if (stopping_)
            return;
        progress_.throwIfCancelled();
        if (keeper)
            keeper->add(chunk.data(), count);
        std::size_t position = 0;
        for (; position + recordSize <= count; position += recordSize, at += recordSize) {
            const char* record = chunk.data() + position;
            if (at < keepUntil) {
                keep(at, record, recordSize);
            } else if (isZeroRecord(record)) {
                zero(at, recordSize);
            } else if (carriesHeaderChecksum(record)) {
                // A header's unused fields at its end are zeros: they are served as such.
                std::int64_t used = recordSize;
                while (record[used - 1] == 0)
                    --used;
                keep(at, record, static_cast<std::size_t>(used));
                if (used < recordSize)
                    zero(at + used, recordSize - used);
                // Random file data passes the checksum now and then: a false header's
                // "data" is kept too, within the block; a true one's that runs on into the
                // next block is missed there, which the reader finds (servedUnreadable).
                if (!describesItself(record[156]) && !(record[124] & 0x80)) {
                    bool digits = false;
                    std::int64_t size = octalField(record + 124, 12, digits);
                    keepUntil =
                        std::min(blockEnd, at + recordSize +
                                               (size + recordSize - 1) / recordSize * recordSize);
                }
            }
        }
        // Only the stream's very end may hold a part of a record; it is kept as it is.
        if (position < count) {
            keep(at, chunk.data() + position, count - position);
            at += static_cast<std::int64_t>(count - position);
        }
        publish();
    }
    if (at != blockEnd)
        throw damagedArchive();
    std::shared_ptr<const KeptBlock> whole = keeper ? keeper->finish() : nullptr;
    heldBytes_ += byteCount;
    {
        std::lock_guard lock(mutex_);
        shared.whole = std::move(whole);
        shared.counted = byteCount;
        shared.done = true;
    }
}

bool XzHeaderSource::reachPosition(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (current_ >= blocks_.size()) {
            if (countsUnits_ && unitsAtEnd_ > 0)
                progress_.addCompletedUnits(std::exchange(unitsAtEnd_, 0));
            return false;
        }
        Sketch& sketch = sketches_[current_];
        // The reader goes on as soon as the bytes it is at are scanned, while the rest of the
        // block is still being decoded.
        changed_.wait(lock,
                      [&] { return sketch.failure || sketch.done || position_ < sketch.scanned; });
        if (sketch.failure)
            std::rethrow_exception(sketch.failure);
        const XzBlock& block = blocks_[current_];
        if (position_ < block.uncompressedOffset + block.uncompressedSize) {
            if (position_ < sketch.scanned)
                return true;
            continue;
        }
        if (!sketch.done)
            continue;
        keptBlocks_[current_] = std::move(sketch.whole);
        heldBytes_ -= sketch.counted;
        sketch = Sketch{};
        sketch.done = true;
        if (countsUnits_)
            progress_.addCompletedUnits(block.totalSize);
        ++current_;
        changed_.notify_all();
    }
}

std::size_t XzHeaderSource::lend(const char** data) {
    progress_.throwIfCancelled();
    std::unique_lock lock(mutex_);
    if (!reachPosition(lock))
        return 0;
    const Sketch& sketch = sketches_[current_];
    // What lies beyond is not known yet.
    const std::int64_t blockEnd = sketch.scanned;
    auto kept = std::upper_bound(sketch.kept.begin(), sketch.kept.end(), position_,
                                 [](std::int64_t value, const Kept& k) { return value < k.end(); });
    std::int64_t count = 0;
    if (kept != sketch.kept.end() && kept->offset <= position_) {
        *data = sketch.bytes.get() + kept->start + (position_ - kept->offset);
        count = kept->end() - position_;
    } else {
        auto zeros = std::upper_bound(
            sketch.zeros.begin(), sketch.zeros.end(), position_,
            [](std::int64_t value, const auto& run) { return value < run.second; });
        if (zeros != sketch.zeros.end() && zeros->first <= position_) {
            *data = zeroBytes().data();
            count = std::min<std::int64_t>(zeros->second - position_, fillSize);
        } else {
            std::int64_t next = blockEnd;
            if (kept != sketch.kept.end())
                next = std::min(next, kept->offset);
            if (zeros != sketch.zeros.end())
                next = std::min(next, zeros->first);
            *data = unreadableBytes().data();
            count = std::min<std::int64_t>(next - position_, fillSize);
            if (!unreadable_.empty() && unreadable_.back().second == position_)
                unreadable_.back().second += count;
            else
                unreadable_.push_back({position_, position_ + count});
        }
    }
    position_ += count;
    return static_cast<std::size_t>(count);
}

std::size_t XzHeaderSource::read(char* buffer, std::size_t capacity) {
    const char* data = nullptr;
    std::size_t count = lend(&data);
    // Whatever lend gave beyond `capacity` is given back.
    if (count > capacity) {
        position_ -= static_cast<std::int64_t>(count - capacity);
        count = capacity;
    }
    std::memcpy(buffer, data, count);
    return count;
}

KeptBlocks XzHeaderSource::takeKeptBlocks() {
    std::lock_guard lock(mutex_);
    // The reader may stop at the archive's end records, before the last blocks' ends.
    for (std::size_t i = current_; i < blocks_.size(); ++i)
        if (sketches_[i].done)
            keptBlocks_[i] = std::move(sketches_[i].whole);
    return std::move(keptBlocks_);
}

bool XzHeaderSource::servedUnreadable(std::int64_t from, std::int64_t to) {
    while (!unreadable_.empty() && unreadable_.front().second <= from)
        unreadable_.pop_front();
    return !unreadable_.empty() && unreadable_.front().first < to;
}

std::int64_t XzHeaderSource::skip(std::int64_t count) {
    std::int64_t moved = std::max<std::int64_t>(0, std::min(count, total_ - position_));
    position_ += moved;
    return moved;
}

} // namespace vexa::tar
