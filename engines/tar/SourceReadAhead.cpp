#include "SourceReadAhead.h"

#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vexa::tar {

namespace {

// Small files are claimed a few at a time, into one block: one claim per file kept the readers
// and the writer queueing for the lock.
constexpr std::size_t mostBatch = 16;

} // namespace

SourceReadAhead::SourceReadAhead(const SourceEntryMap& entries, const Progress& progress,
                                 std::size_t ringSize, std::size_t pieces, unsigned readers)
    : progress_(progress), entries_(entries),
      batch_(std::clamp<std::size_t>(pieces / std::max<std::size_t>(ringSize / pieceSize, 2), 1,
                                     mostBatch)),
      pipe_(pieceSize, ringSize / pieceSize), blockPieces_(pipe_.blockCount()),
      nextEntry_(entries.begin()) {
    for (std::vector<Piece>& block : blockPieces_)
        block.reserve(batch_);
    long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    unsigned count = std::clamp<unsigned>(processors > 0 ? static_cast<unsigned>(processors) : 1, 1,
                                          std::max(readers, 1u));
    running_ = count;
    try {
        for (unsigned i = 0; i < count; ++i)
            threads_.emplace_back([this] { run(); });
    } catch (...) {
        // The threads started take the work of those that could not.
        running_ -= count - static_cast<unsigned>(threads_.size());
        if (threads_.empty())
            throw;
    }
}

SourceReadAhead::~SourceReadAhead() {
    pipe_.stop();
    for (std::thread& thread : threads_)
        thread.join();
}

std::size_t SourceReadAhead::nextWanted() const {
    const RARSourceEntry& source = nextEntry_->second;
    if (source.isDirectory || source.size <= 0)
        return 0;
    return static_cast<std::size_t>(
        std::min<std::int64_t>(source.size - nextOffset_, static_cast<std::int64_t>(pieceSize)));
}

void SourceReadAhead::claimPiece(std::vector<Piece>& pieces, std::size_t position) {
    Piece& piece = pieces.emplace_back();
    piece.path = &nextEntry_->first;
    piece.source = &nextEntry_->second;
    piece.first = nextOffset_ == 0;
    piece.offset = nextOffset_;
    piece.wanted = nextWanted();
    // Where in the block it goes, until it is read.
    piece.length = position;
    nextOffset_ += static_cast<std::int64_t>(piece.wanted);
    piece.last = nextOffset_ >= piece.source->size;
    if (piece.last) {
        ++nextEntry_;
        nextOffset_ = 0;
    }
}

void SourceReadAhead::run() {
    for (;;) {
        std::optional<platform::BlockPipe::Claim> block;
        std::vector<Piece>* pieces = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (nextEntry_ != entries_.end() && progress_.isCancelled())
                pipe_.stop();
            else if (nextEntry_ != entries_.end())
                block = pipe_.claim();
            if (block) {
                pieces = &blockPieces_[block->number % pipe_.blockCount()];
                pieces->clear();
                std::size_t bytes = 0;
                do {
                    claimPiece(*pieces, bytes);
                    bytes += pieces->back().wanted;
                } while (pieces->size() < batch_ && nextEntry_ != entries_.end() &&
                         bytes + nextWanted() <= pieceSize);
            }
        }
        if (!block) {
            // The last reader out ends the pipe, once every block claimed was handed over.
            if (--running_ == 0)
                pipe_.end();
            return;
        }
        std::size_t bytes = 0;
        for (Piece& piece : *pieces) {
            const std::size_t position = piece.length;
            readPiece(piece, block->data + position);
            bytes = std::max(bytes, position + piece.length);
        }
        pipe_.handClaimed(block->number, bytes);
    }
}

void SourceReadAhead::readPiece(Piece& piece, char* memory) {
    const RARSourceEntry& source = *piece.source;
    piece.length = 0;
    piece.data = memory;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &piece.readAt);
    if (source.isDirectory) {
        piece.data = nullptr;
        if (::lstat(source.url.c_str(), &piece.before) != 0)
            piece.failure = std::make_exception_ptr(
                PlatformError::fromErrno(errno, source.url.string(), false));
        return;
    }
    // Not blocked by a pipe put in the file's place since the walk; its mode and date come from
    // the open file, without looking its path up again.
    files::FileDescriptor file(
        ::open(source.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0 || ::fstat(file.get(), &piece.before) != 0) {
        piece.data = nullptr;
        piece.failure =
            std::make_exception_ptr(PlatformError::fromErrno(errno, source.url.string(), false));
        return;
    }
    std::size_t length = 0;
    while (length < piece.wanted) {
        ssize_t count = ::pread(file.get(), memory + length, piece.wanted - length,
                                piece.offset + static_cast<off_t>(length));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            piece.data = nullptr;
            piece.failure = std::make_exception_ptr(
                PlatformError::fromErrno(errno, source.url.string(), false));
            return;
        }
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    ::fstat(file.get(), &piece.after);
    piece.length = length;
}

const SourceReadAhead::Piece* SourceReadAhead::next() {
    if (holding_ && ++current_ < blockPieces_[taken_ % pipe_.blockCount()].size())
        return &blockPieces_[taken_ % pipe_.blockCount()][current_];
    if (holding_) {
        pipe_.giveBack();
        ++taken_;
        holding_ = false;
    }
    if (!pipe_.take()) {
        // Stopped by a reader that saw the cancel, or the end of the items.
        progress_.throwIfCancelled();
        return nullptr;
    }
    holding_ = true;
    current_ = 0;
    return &blockPieces_[taken_ % pipe_.blockCount()][0];
}

} // namespace vexa::tar
