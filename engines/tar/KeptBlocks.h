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

// The decoded blocks of an xz stream that its listing kept, each compressed again as one zstd
// frame (which decodes some thirty times faster than LZMA), so that an extraction after the
// listing cuts its entries out of them instead of decoding those blocks once more. A block
// not kept is null.
using KeptBlocks = std::vector<std::shared_ptr<const std::vector<char>>>;

// Compresses one block's decoded bytes as they come, within a budget shared by every block of
// one listing: when the frames kept and being made would pass it, this block gives up.
class BlockKeeper {
  public:
    // `budget` and its `used` bytes stay the caller's, shared by the keepers of one listing.
    BlockKeeper(std::uint64_t budget, std::atomic<std::uint64_t>& used);
    ~BlockKeeper();
    BlockKeeper(const BlockKeeper&) = delete;
    BlockKeeper& operator=(const BlockKeeper&) = delete;

    void add(const char* data, std::size_t size);
    // The frame, or null when it did not fit. Its bytes stay counted in the budget's use.
    std::shared_ptr<const std::vector<char>> finish();

  private:
    void giveUp();
    void grow(codec::CodecBuffers& io, bool end);

    std::uint64_t budget_;
    std::atomic<std::uint64_t>& used_;
    std::optional<codec::ZstdEncoder> encoder_;
    std::vector<char> frame_;
    std::size_t produced_ = 0;
    bool gaveUp_ = false;
};

// Reads back the bytes of one kept block.
class KeptBlockSource : public ByteSource {
  public:
    explicit KeptBlockSource(std::shared_ptr<const std::vector<char>> frame);

    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    std::shared_ptr<const std::vector<char>> frame_;
    codec::ZstdDecoder decoder_;
    codec::CodecBuffers input_;
    bool ended_ = false;
};

} // namespace vexa::tar
