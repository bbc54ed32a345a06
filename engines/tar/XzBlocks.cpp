#include "XzBlocks.h"

#include "TarReadFailure.h"
#include "engines/codec/PullStream.h"
#include "platform/MemoryBudget.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace vexa::tar {

namespace {

constexpr std::size_t inputSize = 256 * 1024;

std::size_t preadSome(int descriptor, std::uint8_t* buffer, std::size_t size, std::int64_t offset) {
    const ssize_t count = platform::readSome(descriptor, buffer, size, static_cast<off_t>(offset));
    if (count < 0)
        throw readFailure(descriptor, errno);
    return static_cast<std::size_t>(count);
}

void preadAll(int descriptor, std::uint8_t* buffer, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        std::size_t count = preadSome(descriptor, buffer, size, offset);
        if (count == 0)
            throw damagedArchive();
        buffer += count;
        size -= count;
        offset += static_cast<std::int64_t>(count);
    }
}

} // namespace

std::optional<std::vector<XzBlock>> readXzBlocks(int descriptor, std::int64_t fileSize) {
    // A failed read leaves the file to the ordinary decoding, which meets the same failure and
    // names the archive.
    std::optional<std::vector<codec::XzIndexedBlock>> indexed = codec::readXzIndex(
        static_cast<std::uint64_t>(fileSize),
        [descriptor](std::uint8_t* out, std::size_t size, std::uint64_t offset) {
            return preadSome(descriptor, out, size, static_cast<std::int64_t>(offset));
        });
    if (!indexed)
        return std::nullopt;
    std::vector<XzBlock> blocks;
    blocks.reserve(indexed->size());
    for (const codec::XzIndexedBlock& block : *indexed)
        blocks.push_back({static_cast<std::int64_t>(block.compressedOffset),
                          static_cast<std::int64_t>(block.uncompressedOffset),
                          static_cast<std::int64_t>(block.unpaddedSize),
                          static_cast<std::int64_t>(block.totalSize),
                          static_cast<std::int64_t>(block.uncompressedSize), block.check});
    return blocks;
}

XzBlockDecoder::XzBlockDecoder(int descriptor, const XzBlock& block) : descriptor_(descriptor) {
    std::uint8_t header[codec::XzBlockHeader::maximumSize];
    preadAll(descriptor, header, 1, block.compressedOffset);
    const std::size_t headerSize = codec::XzBlockHeader::sizeFrom(header[0]);
    if (headerSize == 0)
        throw damagedArchive();
    preadAll(descriptor, header + 1, headerSize - 1, block.compressedOffset + 1);
    try {
        header_.emplace(header, block.check, static_cast<std::uint64_t>(block.unpaddedSize),
                        static_cast<std::uint64_t>(block.uncompressedSize));
    } catch (const codec::DataError&) {
        throw damagedArchive();
    }
    nextInput_ = block.compressedOffset + static_cast<std::int64_t>(headerSize);
    inputEnd_ = block.compressedOffset + block.totalSize;
}

std::uint64_t XzBlockDecoder::memoryUsage() const {
    return header_->decoderMemory() + inputSize;
}

std::size_t XzBlockDecoder::read(char* buffer, std::size_t capacity) {
    if (ended_ || capacity == 0)
        return 0;
    io_.out = reinterpret_cast<std::uint8_t*>(buffer);
    io_.outSize = capacity;
    asTarDecoding([&] {
        if (!decoder_) {
            decoder_.emplace(codec::LzmaDecoder::xzBlock(*header_));
            input_.resize(inputSize);
        }
        while (io_.outSize > 0) {
            if (io_.inSize == 0 && nextInput_ < inputEnd_) {
                std::size_t wanted = static_cast<std::size_t>(
                    std::min<std::int64_t>(inputEnd_ - nextInput_, inputSize));
                preadAll(descriptor_, input_.data(), wanted, nextInput_);
                nextInput_ += static_cast<std::int64_t>(wanted);
                io_.in = input_.data();
                io_.inSize = wanted;
            }
            // A truncated block fails once the input is spent.
            if (decoder_->decode(io_, false)) {
                // Padding and check were all the input there was.
                if (io_.inSize != 0 || nextInput_ != inputEnd_)
                    throw damagedArchive();
                ended_ = true;
                break;
            }
        }
    });
    return capacity - io_.outSize;
}

namespace {

// xz -T0, the comparable reader, decodes a block per core, holding each block's decoder and
// its whole output; a reading may hold as much.
constexpr unsigned maximumThreads = 8;
// The listing, the extraction's writers and the rest of the program.
constexpr std::uint64_t programShare = 32u << 20;

struct XzReadingMemory {
    std::uint64_t budget = 0;
    std::uint64_t perThread = 0;
    std::size_t threads = 1;
};

XzReadingMemory xzReadingMemory(int descriptor, const std::vector<XzBlock>& blocks,
                                std::size_t bufferSize) {
    const std::uint64_t decoder = XzBlockDecoder(descriptor, blocks.front()).memoryUsage();
    std::uint64_t largestBlock = 0;
    for (const XzBlock& block : blocks)
        largestBlock = std::max(largestBlock, static_cast<std::uint64_t>(block.uncompressedSize));
    XzReadingMemory memory;
    memory.budget = platform::jobMemory(maximumThreads * (decoder + largestBlock));
    memory.perThread = decoder + bufferSize;
    memory.threads =
        platform::workersWithin(memory.budget, programShare, memory.perThread, maximumThreads);
    return memory;
}

} // namespace

std::size_t xzDecodingThreads(int descriptor, const std::vector<XzBlock>& blocks,
                              std::size_t bufferSize) {
    return xzReadingMemory(descriptor, blocks, bufferSize).threads;
}

XzListingMemory xzListingMemory(int descriptor, const std::vector<XzBlock>& blocks,
                                std::size_t bufferSize) {
    const XzReadingMemory memory = xzReadingMemory(descriptor, blocks, bufferSize);
    return {memory.budget > programShare ? memory.budget - programShare : 0, memory.perThread};
}

} // namespace vexa::tar
