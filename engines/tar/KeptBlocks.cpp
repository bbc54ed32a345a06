#include "KeptBlocks.h"

#include "TarReadFailure.h"

#include <algorithm>

namespace vexa::tar {

namespace {

// Fast enough to add a tenth to the LZMA decoding beside it; the text still halves.
constexpr int keepingLevel = 1;
constexpr std::size_t growth = 256u << 10;

} // namespace

BlockKeeper::BlockKeeper(std::uint64_t budget, std::atomic<std::uint64_t>& used)
    : budget_(budget), used_(used), context_(ZSTD_createCCtx()) {
    gaveUp_ = context_ == nullptr ||
              ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, keepingLevel));
}

BlockKeeper::~BlockKeeper() {
    giveUp();
    ZSTD_freeCCtx(context_);
}

void BlockKeeper::giveUp() {
    if (!gaveUp_)
        used_ -= frame_.size();
    gaveUp_ = true;
    frame_ = std::vector<char>();
}

void BlockKeeper::grow(ZSTD_inBuffer& input, ZSTD_EndDirective directive) {
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
        ZSTD_outBuffer output{frame_.data(), frame_.size(), produced_};
        const std::size_t left = ZSTD_compressStream2(context_, &output, &input, directive);
        produced_ = output.pos;
        if (ZSTD_isError(left)) {
            giveUp();
            return;
        }
        if (directive == ZSTD_e_end ? left == 0 : input.pos == input.size)
            return;
    }
}

void BlockKeeper::add(const char* data, std::size_t size) {
    if (gaveUp_)
        return;
    ZSTD_inBuffer input{data, size, 0};
    grow(input, ZSTD_e_continue);
}

std::shared_ptr<const std::vector<char>> BlockKeeper::finish() {
    if (gaveUp_)
        return nullptr;
    ZSTD_inBuffer input{nullptr, 0, 0};
    grow(input, ZSTD_e_end);
    if (gaveUp_)
        return nullptr;
    // The room beyond the frame goes back to the budget.
    used_ -= frame_.size() - produced_;
    frame_.resize(produced_);
    frame_.shrink_to_fit();
    gaveUp_ = true; // what is kept stays counted
    return std::make_shared<const std::vector<char>>(std::move(frame_));
}

KeptBlockSource::KeptBlockSource(std::shared_ptr<const std::vector<char>> frame)
    : frame_(std::move(frame)), context_(ZSTD_createDCtx()) {
    if (context_ == nullptr)
        throw outOfMemory();
    input_ = {frame_->data(), frame_->size(), 0};
}

KeptBlockSource::~KeptBlockSource() {
    ZSTD_freeDCtx(context_);
}

std::size_t KeptBlockSource::read(char* buffer, std::size_t capacity) {
    ZSTD_outBuffer output{buffer, capacity, 0};
    while (!ended_ && output.pos == 0) {
        const std::size_t left = ZSTD_decompressStream(context_, &output, &input_);
        if (ZSTD_isError(left))
            throw damagedArchive();
        if (left == 0)
            ended_ = true;
        else if (input_.pos == input_.size && output.pos == 0)
            throw damagedArchive();
    }
    return output.pos;
}

} // namespace vexa::tar
