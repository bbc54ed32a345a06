#pragma once

#include "engines/codec/Decoder.h"

#include <cstdint>
#include <functional>
#include <lzma.h>
#include <optional>
#include <vector>

namespace vexa::codec {

class LzmaFilterChain;
class XzBlockHeader;

// liblzma's decoders: a raw filter chain (as 7z stores it) or .xz streams, concatenated ones
// included.
class LzmaDecoder : public Decoder {
  public:
    // `filters` in encoding order, ended by LZMA_VLI_UNKNOWN; the allocator, when given, must
    // outlive the decoder. Throws UnsupportedSettings for a chain liblzma refuses.
    static LzmaDecoder raw(const lzma_filter* filters, const lzma_allocator* allocator = nullptr);
    // The chain must outlive the start only; the decoder allocates through lzmaAllocator.
    static LzmaDecoder raw(const LzmaFilterChain& chain);
    static LzmaDecoder xz(std::uint64_t memoryLimit = UINT64_MAX);
    // .xz streams on up to `threads` cores, as many as `threadingMemory` holds; past it one
    // thread decodes as it reads, whatever the dictionary.
    static LzmaDecoder xzThreaded(std::uint32_t threads, std::uint64_t threadingMemory);
    // One block of an .xz stream by itself, from the data after its header through its check;
    // the header must outlive the decoder, which writes the sizes it met into it.
    static LzmaDecoder xzBlock(XzBlockHeader& header);

    LzmaDecoder(LzmaDecoder&& other) noexcept;
    LzmaDecoder& operator=(LzmaDecoder&&) = delete;
    ~LzmaDecoder() override;

    bool decode(CodecBuffers& io, bool inputEnded) override;

  private:
    LzmaDecoder() = default;

    lzma_stream stream_ = LZMA_STREAM_INIT;
    // An .xz decoder takes concatenated streams itself and ends only when told the input has.
    bool container_ = false;
};

// The kind of check an .xz block ends with.
using XzCheck = lzma_check;

// One block of an .xz file as the index of its stream gives it; offsets count from the file's
// start, across all its streams.
struct XzIndexedBlock {
    std::uint64_t compressedOffset = 0; // of its header
    std::uint64_t uncompressedOffset = 0;
    std::uint64_t unpaddedSize = 0;
    std::uint64_t totalSize = 0; // with padding and check
    std::uint64_t uncompressedSize = 0;
    lzma_check check = LZMA_CHECK_NONE;
};

// Reads up to `size` bytes at `offset`; 0 at the end. A failure it throws ends the reading.
using ReadAt =
    std::function<std::size_t(std::uint8_t* out, std::size_t size, std::uint64_t offset)>;

// The blocks of an .xz file of `fileSize` bytes, read through its indexes from the end; none
// when it is no .xz file, its indexes do not decode, or a read fails.
std::optional<std::vector<XzIndexedBlock>> readXzIndex(std::uint64_t fileSize, const ReadAt& read);

// The header of one .xz block, checked against the sizes the stream's index gives the block.
// Damaged headers throw DataError.
class XzBlockHeader {
  public:
    static constexpr std::size_t maximumSize = LZMA_BLOCK_HEADER_SIZE_MAX;
    // The header's whole size told by its first byte; 0 for a byte that begins no header.
    static std::size_t sizeFrom(std::uint8_t first);

    // `bytes` holds the whole header.
    XzBlockHeader(const std::uint8_t* bytes, lzma_check check, std::uint64_t unpaddedSize,
                  std::uint64_t uncompressedSize);
    ~XzBlockHeader();
    XzBlockHeader(const XzBlockHeader&) = delete;
    XzBlockHeader& operator=(const XzBlockHeader&) = delete;

    std::size_t size() const { return block_.header_size; }
    // What a decoder of the block's filters holds, dictionary included.
    std::uint64_t decoderMemory() const;

  private:
    friend class LzmaDecoder;

    lzma_filter filters_[LZMA_FILTERS_MAX + 1];
    lzma_block block_{};
};

} // namespace vexa::codec
