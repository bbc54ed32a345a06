#include "KeptBlocks.h"

#include "TarReadFailure.h"
#include "engines/codec/PullStream.h"

#include <algorithm>

namespace vexa::tar {

namespace {

// Fast enough to add a tenth to the LZMA decoding beside it; the text still halves.
constexpr int keepingLevel = 1;
constexpr std::size_t growth = 256u << 10;

} // namespace

BlockKeeper::BlockKeeper(std::uint64_t budget, std::atomic<std::uint64_t>& used)
    : budget_(budget), used_(used) {
    // Keeping only spares a second decoding: a keeper that cannot start keeps nothing.
    try {
        encoder_.emplace(keepingLevel);
    } catch (const std::exception&) {
        gaveUp_ = true;
    }
}

BlockKeeper::~BlockKeeper() {
    giveUp();
}

void BlockKeeper::giveUp() {
    if (!gaveUp_)
        used_ -= frame_.size();
    gaveUp_ = true;
    frame_ = std::vector<char>();
}

void BlockKeeper::grow(codec::CodecBuffers& io, bool end) {
    for (;;) {
        if (produced_ == frame_.size()) {
            // Room is counted before it is touched, so the keepers together stay within budget.
            if (used_.fetch_add(growth) + growth > budget_) {
                used_ -= growth;
                giveUp();
                return;
            }
            frame_.resize(frame_.size() + growth);
        }
        io.out = reinterpret_cast<std::uint8_t*>(frame_.data()) + produced_;
        io.outSize = frame_.size() - produced_;
        bool done = false;
        try {
            done = encoder_->encode(io, end);
        } catch (const std::exception&) {
            giveUp();
            return;
        }
        produced_ = frame_.size() - io.outSize;
        if (done)
            return;
    }
}

void BlockKeeper::add(const char* data, std::size_t size) {
    if (gaveUp_)
        return;
    codec::CodecBuffers io;
    io.in = reinterpret_cast<const std::uint8_t*>(data);
    io.inSize = size;
    grow(io, false);
}

std::shared_ptr<const std::vector<char>> BlockKeeper::finish() {
    if (gaveUp_)
        return nullptr;
    codec::CodecBuffers io;
    grow(io, true);
    if (gaveUp_)
        return nullptr;
    // The room beyond the frame goes back to the budget.
    used_ -= frame_.size() - produced_;
    frame_.resize(produced_);
    frame_.shrink_to_fit();
    gaveUp_ = true; // what is kept stays counted
    return std::make_shared<const std::vector<char>>(std::move(frame_));
}

KeptBlockSource::KeptBlockSource(std::shared_ptr<const std::vector<char>> frame) try
    : frame_(std::move(frame)) {
    input_.in = reinterpret_cast<const std::uint8_t*>(frame_->data());
    input_.inSize = frame_->size();
} catch (const std::bad_alloc&) {
    throw outOfMemory();
}

std::size_t KeptBlockSource::read(char* buffer, std::size_t capacity) {
    input_.out = reinterpret_cast<std::uint8_t*>(buffer);
    input_.outSize = capacity;
    asTarDecoding([&] {
        while (!ended_ && input_.outSize == capacity) {
            const std::uint8_t* before = input_.in;
            ended_ = decoder_.decode(input_, true);
            if (!ended_ && input_.in == before && input_.outSize == capacity)
                throw damagedArchive();
        }
    });
    return capacity - input_.outSize;
}

} // namespace vexa::tar
