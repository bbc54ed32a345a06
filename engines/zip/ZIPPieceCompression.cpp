#include "engines/zip/ZIPPieceCompression.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPEntryHeader.h"
#include "engines/zip/container/WinZipAes.h"
#include "platform/Crc32.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

namespace vexa {

namespace {

constexpr std::size_t scratchSize = 1 << 16;
// Deflate looks back this far at most, so a piece primed with it loses next to nothing.
constexpr std::size_t windowSize = 32768;

} // namespace

void throwSourceChanged(const std::string& path) {
    // Named as the other writers name a source that changed under the read.
    throw ArchiveFailure::corrupt(changedSourceMessage(path));
}

void PieceBytes::reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return;
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (size_ > 0)
        std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
}

void PieceBytes::append(const std::uint8_t* data, std::size_t length) {
    if (size_ + length > capacity_)
        reserve(std::max(size_ + length, capacity_ * 2));
    std::memcpy(data_.get() + size_, data, length);
    size_ += length;
}

PieceCompressor::PieceCompressor(int bufferSize, const Progress& progress,
                                 const std::atomic<bool>& stop)
    : bufferSize_(static_cast<std::size_t>(std::max(bufferSize, 1))), progress_(progress),
      stop_(stop), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize_)),
      scratch_(std::make_unique_for_overwrite<std::uint8_t[]>(scratchSize)) {}

void PieceCompressor::deflate(Piece& piece, const std::uint8_t* data, std::size_t length,
                              codec::Deflater::Flush flush) {
    const int status =
        deflater_->deflateFlushing(data, length, flush, scratch_.get(), scratchSize,
                                   [&piece](const std::uint8_t* produced, std::size_t size) {
                                       piece.bytes.append(produced, size);
                                       return 0;
                                   });
    ZIPArchiveEngine::check(status == codec::Deflater::refused ? -104 : status);
}

void PieceCompressor::readWindow(const Piece& piece, int fd) {
    if (!window_)
        window_ = std::make_unique_for_overwrite<std::uint8_t[]>(windowSize);
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::int64_t>(piece.offset, windowSize));
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count = platform::readSome(fd, window_.get() + done, length - done,
                                                 piece.offset - static_cast<off_t>(length - done));
        if (count < 0)
            throw PlatformError::fromErrno(errno, piece.source->location.string(), false);
        if (count == 0)
            throwSourceChanged(piece.source->path);
        done += static_cast<std::size_t>(count);
    }
    if (!deflater_->setDictionary(window_.get(), length))
        ZIPArchiveEngine::check(-104);
}

void PieceCompressor::compress(Piece& piece) {
    PieceSource& source = *piece.source;
    progress_.throwIfCancelled();

    files::FileDescriptor own;
    int fd = source.descriptor.get();
    if (!source.cut) {
        own = files::FileDescriptor(
            ::open(source.location.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (own.get() < 0)
            throw PlatformError(PlatformError::Code::fileReadNoPermission, source.location.string(),
                                errno);
        fd = own.get();
    }

    const std::int64_t expected = piece.last ? source.size - piece.offset : piece.length;
    piece.bytes.reserve(static_cast<std::size_t>(expected) + 1024);

    if (source.compress) {
        if (!deflater_) {
            deflater_.emplace();
            if (!deflater_->start(6))
                ZIPArchiveEngine::check(-104);
        } else if (!deflater_->reset()) {
            ZIPArchiveEngine::check(-104);
        }
        if (piece.offset > 0)
            readWindow(piece, fd);
    }

    std::unique_ptr<WinZipAes> aes;
    if (source.password != nullptr) {
        std::uint8_t start[32];
        aes = std::make_unique<WinZipAes>();
        piece.bytes.append(start, startNewEntryAes(*aes, *source.password, start));
    }
    const std::size_t dataStart = piece.bytes.size();

    while (true) {
        progress_.throwIfCancelled();
        if (stop_.load(std::memory_order_relaxed))
            throw CancellationError();
        std::size_t want = bufferSize_;
        if (!piece.last) {
            if (piece.consumed == piece.length)
                break;
            want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(want),
                                                                   piece.length - piece.consumed));
        }
        const ssize_t count = platform::readSome(
            fd, buffer_.get(), want,
            source.cut ? std::optional<off_t>(piece.offset + piece.consumed) : std::nullopt);
        if (count < 0)
            throw PlatformError::fromErrno(errno, source.location.string(), false);
        if (count == 0)
            break;
        piece.consumed += count;
        // A file that grows is refused as soon as it passes its size, not once it has ended.
        if (piece.consumed > expected)
            throwSourceChanged(source.path);
        const std::size_t length = static_cast<std::size_t>(count);
        piece.crc = platform::crc32(piece.crc, buffer_.get(), length);
        if (source.compress)
            deflate(piece, buffer_.get(), length, codec::Deflater::Flush::none);
        else
            piece.bytes.append(buffer_.get(), length);
        source.child->addCompletedUnits(count);
    }
    if (piece.consumed != expected)
        throwSourceChanged(source.path);
    if (source.compress)
        deflate(piece, nullptr, 0,
                piece.last ? codec::Deflater::Flush::finish : codec::Deflater::Flush::sync);

    if (aes) {
        if (!aes->encrypt(piece.bytes.data() + dataStart, piece.bytes.size() - dataStart))
            ZIPArchiveEngine::check(-106);
        std::uint8_t code[WinZipAes::authCodeSize];
        if (!aes->authCode(code))
            ZIPArchiveEngine::check(-106);
        piece.bytes.append(code, sizeof code);
    }
}

} // namespace vexa
