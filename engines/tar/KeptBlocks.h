#pragma once

#include "ByteSource.h"
#include "engines/codec/Zstd.h"
#include "engines/codec/ZstdEncoder.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vexa::tar {

// One decoded block of an xz stream that its listing kept, so that an extraction after the
// listing cuts its entries out of it instead of decoding the block once more: its bytes as they
// are, or compressed again as one zstd frame (which decodes some thirty times faster than
// LZMA). A frame is held in pieces of a fixed size, so that growing it never copies it.
struct KeptBlock {
    bool compressed = false;
    std::vector<std::vector<char>> pieces;
};

// A block not kept is null.
using KeptBlocks = std::vector<std::shared_ptr<const KeptBlock>>;

// One block a listing may keep: its decoded size and what it is expected to hold compressed;
// 0 when it is not worth keeping at all.
struct BlockToKeep {
    std::uint64_t size = 0;
    std::uint64_t compressedEstimate = 0;
};
enum class Keeping { none, asItIs, compressed };

// How each of `blocks` is kept within `budget`, decided in stream order before any is decoded,
// since blocks decoded at once start in no certain order: as it is while that leaves room for
// the blocks after it compressed, otherwise compressed.
std::vector<Keeping> planKeeping(const std::vector<BlockToKeep>& blocks, std::uint64_t budget);

// Keeps one block's decoded bytes as they come, within a budget shared by every block of one
// listing: when the bytes kept and being kept would pass it, this block gives up.
class BlockKeeper {
  public:
    // `budget` and its `used` bytes stay the caller's, shared by the keepers of one listing.
    // The block's `size` bytes are kept `asTheyAre` when they fit; otherwise compressed.
    BlockKeeper(std::uint64_t budget, std::atomic<std::uint64_t>& used, std::uint64_t size,
                bool asTheyAre);
    ~BlockKeeper();
    BlockKeeper(const BlockKeeper&) = delete;
    BlockKeeper& operator=(const BlockKeeper&) = delete;

    bool keepsRaw() const { return raw_; }
    void add(const char* data, std::size_t size);
    // The block, or null when it did not fit. Its bytes stay counted in the budget's use.
    std::shared_ptr<const KeptBlock> finish();

  private:
    void giveUp();
    void grow(codec::CodecBuffers& io, bool end);

    std::uint64_t budget_;
    std::atomic<std::uint64_t>& used_;
    std::uint64_t counted_ = 0; // of the budget, by this keeper
    bool raw_ = false;
    std::uint64_t rawSize_ = 0;
    std::optional<codec::ZstdEncoder> encoder_;
    std::vector<std::vector<char>> pieces_;
    bool gaveUp_ = false;
};

// Reads back the bytes of one kept block.
class KeptBlockSource : public ByteSource {
  public:
    explicit KeptBlockSource(std::shared_ptr<const KeptBlock> block);

    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    std::shared_ptr<const KeptBlock> block_;
    std::size_t piece_ = 0;
    std::size_t offset_ = 0; // in the current raw piece
    std::optional<codec::ZstdDecoder> decoder_;
    codec::CodecBuffers input_;
    bool ended_ = false;
};

} // namespace vexa::tar
