#include "engines/codec/Lzma.h"

#include "engines/codec/LzmaAllocator.h"
#include "engines/codec/LzmaFilterChain.h"
#include "engines/codec/LzmaStep.h"
#include "engines/codec/PullStream.h"

#include <new>

namespace vexa::codec {

namespace {

void checkStart(lzma_ret status) {
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw UnsupportedSettings("liblzma refuses the filter chain");
}

} // namespace

LzmaDecoder LzmaDecoder::raw(const lzma_filter* filters, const lzma_allocator* allocator) {
    LzmaDecoder decoder;
    decoder.stream_.allocator = allocator;
    checkStart(lzma_raw_decoder(&decoder.stream_, filters));
    return decoder;
}

LzmaDecoder LzmaDecoder::raw(const LzmaFilterChain& chain) {
    return raw(chain.filters_, lzmaAllocator());
}

LzmaDecoder LzmaDecoder::xz(std::uint64_t memoryLimit) {
    LzmaDecoder decoder;
    decoder.container_ = true;
    checkStart(lzma_stream_decoder(&decoder.stream_, memoryLimit, LZMA_CONCATENATED));
    return decoder;
}

LzmaDecoder LzmaDecoder::xzThreaded(std::uint32_t threads, std::uint64_t threadingMemory) {
    lzma_mt options{};
    options.flags = LZMA_CONCATENATED;
    options.threads = threads;
    options.timeout = 0;
    options.memlimit_threading = threadingMemory;
    options.memlimit_stop = UINT64_MAX;
    LzmaDecoder decoder;
    decoder.container_ = true;
    checkStart(lzma_stream_decoder_mt(&decoder.stream_, &options));
    return decoder;
}

LzmaDecoder LzmaDecoder::xzBlock(XzBlockHeader& header) {
    LzmaDecoder decoder;
    decoder.container_ = true;
    const lzma_ret status = lzma_block_decoder(&decoder.stream_, &header.block_);
    if (status == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (status != LZMA_OK)
        throw DataError("xz block header does not decode");
    return decoder;
}

LzmaDecoder::LzmaDecoder(LzmaDecoder&& other) noexcept
    : stream_(other.stream_), container_(other.container_) {
    other.stream_ = LZMA_STREAM_INIT;
}

LzmaDecoder::~LzmaDecoder() {
    lzma_end(&stream_);
}

bool LzmaDecoder::decode(CodecBuffers& io, bool inputEnded) {
    return lzmaStep(stream_, io, inputEnded, [this] {
        throw DataError(container_ ? "xz data does not decode" : "lzma data does not decode");
    });
}

std::size_t XzBlockHeader::sizeFrom(std::uint8_t first) {
    // A zero begins the stream's index instead.
    if (first == 0)
        return 0;
    const std::size_t size = lzma_block_header_size_decode(first);
    return size <= maximumSize ? size : 0;
}

XzBlockHeader::XzBlockHeader(const std::uint8_t* bytes, lzma_check check,
                             std::uint64_t unpaddedSize, std::uint64_t uncompressedSize) {
    filters_[0].id = LZMA_VLI_UNKNOWN;
    block_.version = 1;
    block_.check = check;
    block_.filters = filters_;
    block_.header_size = static_cast<std::uint32_t>(sizeFrom(bytes[0]));
    if (block_.header_size == 0 || lzma_block_header_decode(&block_, nullptr, bytes) != LZMA_OK)
        throw DataError("xz block header does not decode");
    if (lzma_block_compressed_size(&block_, static_cast<lzma_vli>(unpaddedSize)) != LZMA_OK ||
        (block_.uncompressed_size != LZMA_VLI_UNKNOWN &&
         block_.uncompressed_size != static_cast<lzma_vli>(uncompressedSize))) {
        lzma_filters_free(filters_, nullptr);
        throw DataError("xz block header disagrees with the index");
    }
    block_.uncompressed_size = static_cast<lzma_vli>(uncompressedSize);
}

XzBlockHeader::~XzBlockHeader() {
    lzma_filters_free(filters_, nullptr);
}

std::uint64_t XzBlockHeader::decoderMemory() const {
    return lzma_raw_decoder_memusage(filters_);
}

std::optional<std::vector<XzIndexedBlock>> readXzIndex(std::uint64_t fileSize, const ReadAt& read) {
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_index* index = nullptr;
    if (lzma_file_info_decoder(&stream, &index, UINT64_MAX, fileSize) != LZMA_OK)
        return std::nullopt;
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::uint64_t position = 0;
    lzma_ret status = LZMA_OK;
    while (status == LZMA_OK) {
        if (stream.avail_in == 0) {
            std::size_t count = 0;
            try {
                count = read(buffer.data(), buffer.size(), position);
            } catch (...) {
                break;
            }
            position += count;
            stream.next_in = buffer.data();
            stream.avail_in = count;
        }
        status = lzma_code(&stream, LZMA_RUN);
        if (status == LZMA_SEEK_NEEDED) {
            position = stream.seek_pos;
            stream.avail_in = 0;
            status = LZMA_OK;
        }
    }
    lzma_end(&stream);
    if (status != LZMA_STREAM_END) {
        lzma_index_end(index, nullptr);
        return std::nullopt;
    }
    std::vector<XzIndexedBlock> blocks;
    lzma_index_iter iter;
    lzma_index_iter_init(&iter, index);
    while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK))
        blocks.push_back({iter.block.compressed_file_offset, iter.block.uncompressed_file_offset,
                          iter.block.unpadded_size, iter.block.total_size,
                          iter.block.uncompressed_size, iter.stream.flags->check});
    lzma_index_end(index, nullptr);
    return blocks;
}

} // namespace vexa::codec
