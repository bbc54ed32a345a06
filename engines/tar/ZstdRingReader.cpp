#include "ZstdRingReader.h"

#include "TarReadFailure.h"
#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vexa::tar {

namespace {

// What the reader borrows at a time: small enough that the decoder soon gets room back.
constexpr std::size_t lendLimit = 512 << 10;
// Read beyond what the decoder asks for: the next block's header comes with its data.
constexpr std::size_t inputSlack = 64;

// The decoding thread was told to stop.
struct Stopped {};

using Blocks = codec::ZstdBlockDecoder;

} // namespace

ZstdRingReader::ZstdRingReader(ByteSource& input, std::size_t ahead) try
    : input_(input), ahead_(ahead), in_(Blocks::maximumBlock + inputSlack) {
    thread_ = std::thread([this] { decodeAll(); });
} catch (const std::bad_alloc&) {
    throw outOfMemory();
}

bool ZstdRingReader::hasMagic(const char* bytes, std::size_t count) {
    static constexpr unsigned char frame[] = {0x28, 0xB5, 0x2F, 0xFD};
    // Skippable frames (0x184D2A50 to 0x184D2A5F, little-endian) may lead a valid file.
    static constexpr unsigned char skippable[] = {0x2A, 0x4D, 0x18};
    if (count < sizeof frame)
        return false;
    return std::memcmp(bytes, frame, sizeof frame) == 0 ||
           ((static_cast<unsigned char>(bytes[0]) & 0xF0) == 0x50 &&
            std::memcmp(bytes + 1, skippable, sizeof skippable) == 0);
}

ZstdRingReader::~ZstdRingReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    dataReady_.notify_all();
    roomFreed_.notify_all();
    thread_.join();
}

void ZstdRingReader::decodeAll() {
    std::exception_ptr failure;
    try {
        bool anyFrame = false;
        while (fill(1)) {
            anyFrame = true;
            Blocks::FrameHeader header;
            while (std::size_t wanted =
                       Blocks::readFrameHeader(input(), inputAvailable(), header)) {
                if (!fill(wanted))
                    throw damagedArchive();
            }
            if (header.skippable) {
                discardInput(header.skippedSize);
                continue;
            }
            if (header.window > Blocks::windowLimit())
                throw damagedArchive();
            decodeFrame(static_cast<std::size_t>(header.window), header.blockSizeMax);
        }
        // An empty file holds no frame.
        if (!anyFrame)
            throw damagedArchive();
    } catch (const Stopped&) {
    } catch (const codec::DataError&) {
        failure = std::make_exception_ptr(damagedArchive());
    } catch (const std::bad_alloc&) {
        failure = std::make_exception_ptr(outOfMemory());
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        failure_ = failure;
    }
    dataReady_.notify_all();
}

void ZstdRingReader::decodeFrame(std::size_t window, std::size_t blockSizeMax) {
    prepareRing(Blocks::bufferSize(window) + ahead_);
    decoder_.beginFrame();
    while (std::size_t wanted = decoder_.nextInputSize()) {
        // A frame that stops short is truncated.
        if (!fill(wanted))
            throw damagedArchive();
        std::size_t room = awaitRoom(blockSizeMax);
        std::size_t produced = decoder_.step(ring_.data() + write_, room, input(), wanted);
        inStart_ += wanted;
        if (produced > 0)
            publish(produced);
    }
}

void ZstdRingReader::prepareRing(std::size_t size) {
    if (ring_.size() >= size)
        return;
    std::unique_lock lock(mutex_);
    // A new frame needs none of the bytes before it, only the reader may.
    waitForReaderLocked(lock, Need::emptyRing);
    ring_ = std::vector<char>();
    ring_.resize(size);
    write_ = 0;
    wakeSize_ = std::min<std::size_t>(1 << 20, size / 4);
}

std::size_t ZstdRingReader::roomLocked(bool& limitedByReader) const {
    // Bytes not yet given back lie from the oldest of them up to the write position.
    const Span* oldest = lent_.size > 0 ? &lent_ : (ready_.empty() ? nullptr : &ready_.front());
    limitedByReader = oldest != nullptr && oldest->start >= write_;
    return limitedByReader ? oldest->start - write_ : ring_.size() - write_;
}

bool ZstdRingReader::decoderMayGoLocked() const {
    switch (decoderNeeds_) {
    case Need::nothing:
        return false;
    case Need::emptyRing:
        return ready_.empty() && lent_.size == 0;
    case Need::frontFree: {
        bool limited = false;
        roomLocked(limited);
        return !limited;
    }
    case Need::room:
        break;
    }
    bool limited = false;
    std::size_t room = roomLocked(limited);
    return room >= roomNeeded_ && (!limited || room >= wakeSize_);
}

void ZstdRingReader::waitForReaderLocked(std::unique_lock<std::mutex>& lock, Need need) {
    decoderNeeds_ = need;
    if (readerWaiting_ && !ready_.empty())
        dataReady_.notify_one();
    roomFreed_.wait(lock, [&] { return stopping_ || decoderMayGoLocked(); });
    decoderNeeds_ = Need::nothing;
    if (stopping_)
        throw Stopped{};
}

std::size_t ZstdRingReader::awaitRoom(std::size_t blockSizeMax) {
    std::unique_lock lock(mutex_);
    if (stopping_)
        throw Stopped{};
    // A round buffer: a block that might not fit before the end starts again at the front,
    // where the decoder finds the window it still needs behind what it overwrites.
    bool limited = false;
    if (ring_.size() - write_ < blockSizeMax) {
        // Unread bytes of the pass before may still lie past the write position, and the front
        // holds this pass's: the reader must reach this pass before the front can be reused.
        roomLocked(limited);
        if (limited)
            waitForReaderLocked(lock, Need::frontFree);
        write_ = 0;
    }
    if (std::size_t room = roomLocked(limited); room >= blockSizeMax)
        return room;
    roomNeeded_ = blockSizeMax;
    waitForReaderLocked(lock, Need::room);
    return roomLocked(limited);
}

void ZstdRingReader::publish(std::size_t count) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!ready_.empty() && ready_.back().start + ready_.back().size == write_ &&
            ready_.back().size + count <= lendLimit)
            ready_.back().size += count;
        else
            ready_.push_back({write_, count});
        write_ += count;
        readyBytes_ += count;
        wake = readerWaiting_ && readyBytes_ >= wakeSize_;
    }
    if (wake)
        dataReady_.notify_one();
}

bool ZstdRingReader::fill(std::size_t count) {
    std::size_t available = inEnd_ - inStart_;
    if (available >= count)
        return true;
    if (in_.size() < count + inputSlack)
        in_.resize(count + inputSlack);
    std::memmove(in_.data(), in_.data() + inStart_, available);
    inStart_ = 0;
    inEnd_ = available;
    while (inEnd_ < count) {
        std::size_t got =
            input_.read(in_.data() + inEnd_, std::min(count + inputSlack, in_.size()) - inEnd_);
        if (got == 0)
            return false;
        inEnd_ += got;
    }
    return true;
}

void ZstdRingReader::discardInput(unsigned long long count) {
    while (count > 0) {
        if (!fill(static_cast<std::size_t>(
                std::min<unsigned long long>(count, Blocks::maximumBlock))))
            throw damagedArchive();
        std::size_t step =
            static_cast<std::size_t>(std::min<unsigned long long>(count, inEnd_ - inStart_));
        inStart_ += step;
        count -= step;
    }
}

bool ZstdRingReader::advance() {
    if (readerEnded_)
        return false;
    std::unique_lock lock(mutex_);
    lent_ = {};
    position_ = 0;
    if (decoderMayGoLocked())
        roomFreed_.notify_one();
    if (ready_.empty() && !ended_) {
        readerWaiting_ = true;
        dataReady_.wait(lock, [&] {
            return ended_ || (!ready_.empty() &&
                              (readyBytes_ >= wakeSize_ || decoderNeeds_ != Need::nothing));
        });
        readerWaiting_ = false;
    }
    if (ready_.empty()) {
        readerEnded_ = true;
        if (failure_)
            std::rethrow_exception(failure_);
        return false;
    }
    lent_ = ready_.front();
    ready_.pop_front();
    readyBytes_ -= lent_.size;
    return true;
}

std::size_t ZstdRingReader::lend(const char** data) {
    while (position_ == lent_.size) {
        if (!advance())
            return 0;
    }
    *data = ring_.data() + lent_.start + position_;
    std::size_t count = lent_.size - position_;
    position_ = lent_.size;
    return count;
}

std::size_t ZstdRingReader::read(char* buffer, std::size_t capacity) {
    if (capacity == 0)
        return 0;
    while (position_ == lent_.size) {
        if (!advance())
            return 0;
    }
    std::size_t count = std::min(capacity, lent_.size - position_);
    std::memcpy(buffer, ring_.data() + lent_.start + position_, count);
    position_ += count;
    return count;
}

} // namespace vexa::tar
