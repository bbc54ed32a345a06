#pragma once

#include "ByteSource.h"
#include "engines/codec/Lzma.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vexa::tar {

// One block of an xz file, as the file's index gives it.
struct XzBlock {
    std::int64_t compressedOffset = 0; // of its header, in the file
    std::int64_t uncompressedOffset = 0;
    std::int64_t unpaddedSize = 0;
    std::int64_t totalSize = 0; // with padding and check
    std::int64_t uncompressedSize = 0;
    codec::XzCheck check{}; // none until the index gives it
};

// The blocks of the xz file open at `descriptor` (all its streams, in order); none when it is
// not an xz file or its index cannot be read, which a reading from the start then reports.
std::optional<std::vector<XzBlock>> readXzBlocks(int descriptor, std::int64_t fileSize);

// Decodes one block by itself: its header, its data and its check, verified against the index.
class XzBlockDecoder : public ByteSource {
  public:
    // Reads the block's header; damaged data throws ArchiveFailure::tarFailure.
    XzBlockDecoder(int descriptor, const XzBlock& block);
    XzBlockDecoder(const XzBlockDecoder&) = delete;
    XzBlockDecoder& operator=(const XzBlockDecoder&) = delete;

    // What decoding needs, dictionary included.
    std::uint64_t memoryUsage() const;
    // Fills `buffer` as far as the block goes; 0 at its verified end.
    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    int descriptor_;
    std::optional<codec::XzBlockHeader> header_;
    // Started at the first read, as most blocks of a listing are never read.
    std::optional<codec::LzmaDecoder> decoder_;
    std::vector<std::uint8_t> input_;
    codec::CodecBuffers io_;
    std::int64_t nextInput_ = 0; // file offset of the next compressed bytes to read
    std::int64_t inputEnd_ = 0;
    bool ended_ = false;
};

// How many of `blocks` to decode at once, each thread with its decoder and a buffer of
// `bufferSize`: as many as the cores allow, at most 8, within what xz -T0 would hold for the
// same file (see platform::jobMemory). `blocks` is not empty.
std::size_t xzDecodingThreads(int descriptor, const std::vector<XzBlock>& blocks,
                              std::size_t bufferSize);

// What a listing of `blocks` may hold beside the rest of the program: its decoders, each of
// `perDecoder` bytes while it decodes, and what it keeps of the decoded stream.
struct XzListingMemory {
    std::uint64_t budget = 0;
    std::uint64_t perDecoder = 0;
};
XzListingMemory xzListingMemory(int descriptor, const std::vector<XzBlock>& blocks,
                                std::size_t bufferSize);

} // namespace vexa::tar
