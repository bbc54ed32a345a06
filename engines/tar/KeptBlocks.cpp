#include "KeptBlocks.h"

#include "TarReadFailure.h"
#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstring>

namespace vexa::tar {

namespace {

// Fast enough to add a tenth to the LZMA decoding beside it; the text still halves.
constexpr int keepingLevel = 1;
constexpr std::size_t pieceSize = 256u << 10;

} // namespace

std::vector<Keeping> planKeeping(const std::vector<BlockToKeep>& blocks, std::uint64_t budget) {
    std::uint64_t rest = 0;
    for (const BlockToKeep& block : blocks)
        rest += block.compressedEstimate;
    std::uint64_t used = 0;
    std::vector<Keeping> plan;
    plan.reserve(blocks.size());
    for (const BlockToKeep& block : blocks) {
        rest -= block.compressedEstimate;
        if (block.compressedEstimate == 0) {
            plan.push_back(Keeping::none);
        } else if (used + block.size + rest <= budget) {
            plan.push_back(Keeping::asItIs);
            used += block.size;
        } else {
            plan.push_back(Keeping::compressed);
            used += block.compressedEstimate;
        }
    }
    return plan;
}

BlockKeeper::BlockKeeper(std::uint64_t budget, std::atomic<std::uint64_t>& used, std::uint64_t size,
                         bool asTheyAre)
    : budget_(budget), used_(used) {
    // Keeping only spares a second decoding: a keeper that cannot start keeps nothing.
    try {
        if (asTheyAre && used_.fetch_add(size) + size <= budget_) {
            counted_ = size;
            raw_ = true;
            rawSize_ = size;
            pieces_.emplace_back().reserve(size);
            return;
        }
        if (asTheyAre)
            used_ -= size;
        encoder_.emplace(keepingLevel);
    } catch (const std::exception&) {
        giveUp();
    }
}

BlockKeeper::~BlockKeeper() {
    giveUp();
}

void BlockKeeper::giveUp() {
    if (!gaveUp_)
        used_ -= counted_;
    counted_ = 0;
    gaveUp_ = true;
    pieces_ = std::vector<std::vector<char>>();
}

void BlockKeeper::grow(codec::CodecBuffers& io, bool end) {
    for (;;) {
        if (pieces_.empty() || pieces_.back().size() == pieceSize) {
            // Room is counted before it is touched, so the keepers together stay within budget.
            if (used_.fetch_add(pieceSize) + pieceSize > budget_) {
                used_ -= pieceSize;
                giveUp();
                return;
            }
            counted_ += pieceSize;
            try {
                pieces_.emplace_back().reserve(pieceSize);
            } catch (const std::exception&) {
                giveUp();
                return;
            }
        }
        std::vector<char>& piece = pieces_.back();
        const std::size_t filled = piece.size();
        piece.resize(pieceSize);
        io.out = reinterpret_cast<std::uint8_t*>(piece.data()) + filled;
        io.outSize = pieceSize - filled;
        bool done = false;
        try {
            done = encoder_->encode(io, end);
        } catch (const std::exception&) {
            giveUp();
            return;
        }
        piece.resize(pieceSize - io.outSize);
        if (done)
            return;
    }
}

void BlockKeeper::add(const char* data, std::size_t size) {
    if (gaveUp_)
        return;
    if (raw_) {
        // More than the index promised is damage, which the decoder reports.
        if (pieces_.front().size() + size > rawSize_)
            giveUp();
        else
            pieces_.front().insert(pieces_.front().end(), data, data + size);
        return;
    }
    codec::CodecBuffers io;
    io.in = reinterpret_cast<const std::uint8_t*>(data);
    io.inSize = size;
    grow(io, false);
}

std::shared_ptr<const KeptBlock> BlockKeeper::finish() {
    if (gaveUp_)
        return nullptr;
    if (raw_ && pieces_.front().size() != rawSize_) {
        giveUp();
        return nullptr;
    }
    if (!raw_) {
        codec::CodecBuffers io;
        grow(io, true);
        if (gaveUp_)
            return nullptr;
        // The room beyond the frame goes back to the budget.
        std::vector<char>& last = pieces_.back();
        used_ -= pieceSize - last.size();
        counted_ -= pieceSize - last.size();
        last.shrink_to_fit();
    }
    try {
        auto block = std::make_shared<KeptBlock>();
        block->compressed = !raw_;
        block->pieces = std::move(pieces_);
        gaveUp_ = true; // what is kept stays counted
        return block;
    } catch (const std::exception&) {
        giveUp();
        return nullptr;
    }
}

KeptBlockSource::KeptBlockSource(std::shared_ptr<const KeptBlock> block) try
    : block_(std::move(block)) {
    if (block_->compressed)
        decoder_.emplace();
} catch (const std::bad_alloc&) {
    throw outOfMemory();
}

std::size_t KeptBlockSource::read(char* buffer, std::size_t capacity) {
    const std::vector<std::vector<char>>& pieces = block_->pieces;
    if (!decoder_) {
        std::size_t copied = 0;
        while (copied < capacity && piece_ < pieces.size()) {
            const std::vector<char>& piece = pieces[piece_];
            const std::size_t count = std::min(capacity - copied, piece.size() - offset_);
            std::memcpy(buffer + copied, piece.data() + offset_, count);
            copied += count;
            offset_ += count;
            if (offset_ == piece.size()) {
                ++piece_;
                offset_ = 0;
            }
        }
        return copied;
    }
    input_.out = reinterpret_cast<std::uint8_t*>(buffer);
    input_.outSize = capacity;
    asTarDecoding([&] {
        while (!ended_ && input_.outSize == capacity) {
            if (input_.inSize == 0 && piece_ < pieces.size()) {
                input_.in = reinterpret_cast<const std::uint8_t*>(pieces[piece_].data());
                input_.inSize = pieces[piece_].size();
                ++piece_;
            }
            const bool last = piece_ == pieces.size();
            const std::uint8_t* before = input_.in;
            ended_ = decoder_->decode(input_, last);
            if (!ended_ && last && input_.in == before && input_.outSize == capacity)
                throw damagedArchive();
        }
    });
    return capacity - input_.outSize;
}

} // namespace vexa::tar
