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
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_index* index = nullptr;
    if (lzma_file_info_decoder(&stream, &index, UINT64_MAX, static_cast<std::uint64_t>(fileSize)) !=
        LZMA_OK)
        return std::nullopt;
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::int64_t position = 0;
    lzma_ret status = LZMA_OK;
    while (status == LZMA_OK) {
        if (stream.avail_in == 0) {
            std::size_t count = 0;
            try {
                count = preadSome(descriptor, buffer.data(), buffer.size(), position);
            } catch (...) {
                // Not read by blocks, then: the ordinary decoding meets the same failure and
                // names the archive.
                break;
            }
            position += static_cast<std::int64_t>(count);
            stream.next_in = buffer.data();
            stream.avail_in = count;
        }
        status = lzma_code(&stream, LZMA_RUN);
        if (status == LZMA_SEEK_NEEDED) {
            position = static_cast<std::int64_t>(stream.seek_pos);
            stream.avail_in = 0;
            status = LZMA_OK;
        }
    }
    lzma_end(&stream);
    if (status != LZMA_STREAM_END) {
        lzma_index_end(index, nullptr);
        return std::nullopt;
    }
    std::vector<XzBlock> blocks;
    lzma_index_iter iter;
    lzma_index_iter_init(&iter, index);
    while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
        XzBlock block;
        block.compressedOffset = static_cast<std::int64_t>(iter.block.compressed_file_offset);
        block.uncompressedOffset = static_cast<std::int64_t>(iter.block.uncompressed_file_offset);
        block.unpaddedSize = static_cast<std::int64_t>(iter.block.unpadded_size);
        block.totalSize = static_cast<std::int64_t>(iter.block.total_size);
        block.uncompressedSize = static_cast<std::int64_t>(iter.block.uncompressed_size);
        block.check = iter.stream.flags->check;
        blocks.push_back(block);
    }
    lzma_index_end(index, nullptr);
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
    try {
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
    } catch (const std::bad_alloc&) {
        throw outOfMemory();
    } catch (const codec::DataError&) {
        throw damagedArchive();
    }
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

std::uint64_t xzKeepingBudget(int descriptor, const std::vector<XzBlock>& blocks,
                              std::size_t bufferSize) {
    const XzReadingMemory memory = xzReadingMemory(descriptor, blocks, bufferSize);
    const std::uint64_t used = programShare + memory.threads * memory.perThread;
    return memory.budget > used ? memory.budget - used : 0;
}

} // namespace vexa::tar
