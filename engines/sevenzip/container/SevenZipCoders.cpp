#include "engines/sevenzip/container/SevenZipCoders.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "engines/sevenzip/container/SevenZipLzmaAllocator.h"

#include <algorithm>
#include <bzlib.h>
#include <cstdlib>
#include <lzma.h>
#include <zlib.h>

namespace vexa::sevenzip {

namespace {

constexpr std::size_t inputBufferSize = 64 * 1024;

[[noreturn]] void damaged() {
    throw SevenZipDataError("data does not decode");
}

// Shared by the stages that transform a buffered input: the remaining output and the input
// buffer refilled from below.
class BufferedStage : public DecodeStage {
  protected:
    BufferedStage(std::unique_ptr<DecodeStage> below, std::uint64_t outSize)
        : below_(std::move(below)), remaining_(outSize), buffer_(inputBufferSize) {}

    // Refills the input when it is used up; false when the stage below has ended.
    bool refill() {
        if (position_ < filled_)
            return true;
        filled_ = below_->read(buffer_.data(), buffer_.size());
        position_ = 0;
        return filled_ > 0;
    }

    std::unique_ptr<DecodeStage> below_;
    std::uint64_t remaining_;
    std::vector<std::uint8_t> buffer_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
};

class PackedStage : public DecodeStage {
  public:
    PackedStage(const SevenZipInput& input, std::uint64_t offset, std::uint64_t size)
        : input_(input), offset_(offset), remaining_(size) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        if (count == 0)
            return 0;
        input_.readAt(offset_, out, count);
        offset_ += count;
        remaining_ -= count;
        return count;
    }

  private:
    const SevenZipInput& input_;
    std::uint64_t offset_;
    std::uint64_t remaining_;
};

class CopyStage : public DecodeStage {
  public:
    CopyStage(std::unique_ptr<DecodeStage> below, std::uint64_t outSize)
        : below_(std::move(below)), remaining_(outSize) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        if (want == 0)
            return 0;
        const std::size_t count = below_->read(out, want);
        if (count == 0)
            damaged();
        remaining_ -= count;
        return count;
    }

  private:
    std::unique_ptr<DecodeStage> below_;
    std::uint64_t remaining_;
};

class AesStage : public BufferedStage {
  public:
    AesStage(std::unique_ptr<DecodeStage> below, const AesKey& key, const AesProperties& properties,
             std::uint64_t outSize)
        : BufferedStage(std::move(below), outSize),
          cipher_(AesCbc::Direction::decrypt, key, properties.iv) {}

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        if (remaining_ == 0)
            return 0;
        if (plainPosition_ == plainFilled_)
            decryptMore();
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>({size, plainFilled_ - plainPosition_, remaining_}));
        std::copy_n(buffer_.data() + plainPosition_, count, out);
        plainPosition_ += count;
        remaining_ -= count;
        return count;
    }

  private:
    // Fills the buffer with whole blocks from below and decrypts them in place.
    void decryptMore() {
        std::size_t filled = 0;
        while (filled < buffer_.size()) {
            const std::size_t count =
                below_->read(buffer_.data() + filled, buffer_.size() - filled);
            if (count == 0)
                break;
            filled += count;
            if (filled % aesBlockSize == 0 && filled >= remaining_)
                break;
        }
        filled -= filled % aesBlockSize;
        if (filled == 0)
            damaged();
        cipher_.process(buffer_.data(), filled);
        plainPosition_ = 0;
        plainFilled_ = filled;
    }

    AesCbc cipher_;
    std::size_t plainPosition_ = 0;
    std::size_t plainFilled_ = 0;
};

lzma_vli lzmaFilterId(std::uint64_t methodId) {
    switch (methodId) {
    case method::lzma:
        return LZMA_FILTER_LZMA1;
    case method::lzma2:
        return LZMA_FILTER_LZMA2;
    case method::bcjX86:
    case method::shortX86:
        return LZMA_FILTER_X86;
    case method::powerPc:
    case method::shortPowerPc:
        return LZMA_FILTER_POWERPC;
    case method::ia64:
    case method::shortIa64:
        return LZMA_FILTER_IA64;
    case method::arm:
    case method::shortArm:
        return LZMA_FILTER_ARM;
    case method::armThumb:
    case method::shortArmThumb:
        return LZMA_FILTER_ARMTHUMB;
    case method::sparc:
    case method::shortSparc:
        return LZMA_FILTER_SPARC;
    case method::arm64:
        return LZMA_FILTER_ARM64;
    case method::delta:
        return LZMA_FILTER_DELTA;
    default:
        return LZMA_VLI_UNKNOWN;
    }
}

// The filter chain liblzma wants: in encoding order, the LZMA coder last, then the terminator.
// Options are allocated by liblzma and released with free().
struct FilterChain {
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    std::size_t count = 0;

    // A dictionary larger than the data it serves is never filled: capping it at the output
    // size keeps small folders of a large-dictionary archive cheap to decode side by side.
    FilterChain(const std::vector<const Coder*>& coders, std::uint64_t outSize) {
        if (coders.size() > LZMA_FILTERS_MAX)
            throw ArchiveFailure::unsupported7z();
        for (const Coder* coder : coders) {
            lzma_filter& filter = filters[count];
            filter.id = lzmaFilterId(coder->methodId);
            filter.options = nullptr;
            ++count;
            if (lzma_properties_decode(&filter, nullptr, coder->properties.data(),
                                       coder->properties.size()) != LZMA_OK)
                throw ArchiveFailure::unsupported7z();
            if (filter.id == LZMA_FILTER_LZMA1 || filter.id == LZMA_FILTER_LZMA2) {
                auto* options = static_cast<lzma_options_lzma*>(filter.options);
                const std::uint64_t needed = std::max<std::uint64_t>(outSize, LZMA_DICT_SIZE_MIN);
                if (options->dict_size > needed)
                    options->dict_size = static_cast<std::uint32_t>(needed);
            }
        }
        filters[count].id = LZMA_VLI_UNKNOWN;
        filters[count].options = nullptr;
    }
    ~FilterChain() {
        for (std::size_t i = 0; i < count; ++i)
            std::free(filters[i].options);
    }
    FilterChain(const FilterChain&) = delete;
    FilterChain& operator=(const FilterChain&) = delete;
};

class LzmaStage : public BufferedStage {
  public:
    LzmaStage(std::unique_ptr<DecodeStage> below, const std::vector<const Coder*>& coders,
              std::uint64_t outSize)
        : BufferedStage(std::move(below), outSize) {
        FilterChain chain(coders, outSize);
        stream_.allocator = lzmaAllocator();
        const lzma_ret status = lzma_raw_decoder(&stream_, chain.filters);
        if (status == LZMA_MEM_ERROR)
            throw std::bad_alloc();
        if (status != LZMA_OK)
            throw ArchiveFailure::unsupported7z();
    }
    ~LzmaStage() override { lzma_end(&stream_); }

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        if (want == 0)
            return 0;
        stream_.next_out = out;
        stream_.avail_out = want;
        while (stream_.avail_out == want) {
            const bool more = refill();
            stream_.next_in = buffer_.data() + position_;
            stream_.avail_in = filled_ - position_;
            const lzma_ret status = lzma_code(&stream_, more ? LZMA_RUN : LZMA_FINISH);
            position_ = filled_ - stream_.avail_in;
            if (status == LZMA_STREAM_END) {
                if (stream_.avail_out == want)
                    damaged(); // ended before its size
                break;
            }
            if (status != LZMA_OK)
                damaged();
            if (!more && stream_.avail_out == want)
                damaged();
        }
        const std::size_t produced = want - stream_.avail_out;
        remaining_ -= produced;
        return produced;
    }

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

class InflateStage : public BufferedStage {
  public:
    InflateStage(std::unique_ptr<DecodeStage> below, std::uint64_t outSize)
        : BufferedStage(std::move(below), outSize) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
    }
    ~InflateStage() override { inflateEnd(&stream_); }

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>({size, remaining_, std::uint64_t{1} << 30}));
        if (want == 0)
            return 0;
        stream_.next_out = out;
        stream_.avail_out = static_cast<uInt>(want);
        while (stream_.avail_out == want) {
            if (!refill())
                damaged();
            stream_.next_in = buffer_.data() + position_;
            stream_.avail_in = static_cast<uInt>(filled_ - position_);
            const int status = inflate(&stream_, Z_NO_FLUSH);
            position_ = filled_ - stream_.avail_in;
            if (status == Z_STREAM_END) {
                if (stream_.avail_out == want)
                    damaged();
                break;
            }
            if (status != Z_OK && status != Z_BUF_ERROR)
                damaged();
        }
        const std::size_t produced = want - stream_.avail_out;
        remaining_ -= produced;
        return produced;
    }

  private:
    z_stream stream_{};
};

class Bzip2Stage : public BufferedStage {
  public:
    Bzip2Stage(std::unique_ptr<DecodeStage> below, std::uint64_t outSize)
        : BufferedStage(std::move(below), outSize) {
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK)
            throw std::bad_alloc();
    }
    ~Bzip2Stage() override { BZ2_bzDecompressEnd(&stream_); }

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>({size, remaining_, std::uint64_t{1} << 30}));
        if (want == 0)
            return 0;
        stream_.next_out = reinterpret_cast<char*>(out);
        stream_.avail_out = static_cast<unsigned>(want);
        while (stream_.avail_out == want) {
            if (ended_) {
                // Several bzip2 streams may follow each other, as multi-threaded writers do.
                BZ2_bzDecompressEnd(&stream_);
                stream_ = bz_stream{};
                if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK)
                    throw std::bad_alloc();
                stream_.next_out = reinterpret_cast<char*>(out);
                stream_.avail_out = static_cast<unsigned>(want);
                ended_ = false;
            }
            if (!refill())
                damaged();
            stream_.next_in = reinterpret_cast<char*>(buffer_.data() + position_);
            stream_.avail_in = static_cast<unsigned>(filled_ - position_);
            const int status = BZ2_bzDecompress(&stream_);
            position_ = filled_ - stream_.avail_in;
            if (status == BZ_STREAM_END)
                ended_ = true;
            else if (status != BZ_OK)
                damaged();
        }
        const std::size_t produced = want - stream_.avail_out;
        remaining_ -= produced;
        return produced;
    }

  private:
    bz_stream stream_{};
    bool ended_ = false;
};

} // namespace

std::unique_ptr<DecodeStage> makePackedStage(const SevenZipInput& input, std::uint64_t offset,
                                             std::uint64_t size) {
    return std::make_unique<PackedStage>(input, offset, size);
}

std::unique_ptr<DecodeStage> makeAesStage(std::unique_ptr<DecodeStage> below, const AesKey& key,
                                          const AesProperties& properties, std::uint64_t outSize) {
    return std::make_unique<AesStage>(std::move(below), key, properties, outSize);
}

std::unique_ptr<DecodeStage> makeLzmaStage(std::unique_ptr<DecodeStage> below,
                                           const std::vector<const Coder*>& coders,
                                           std::uint64_t outSize) {
    return std::make_unique<LzmaStage>(std::move(below), coders, outSize);
}

std::unique_ptr<DecodeStage> makeInflateStage(std::unique_ptr<DecodeStage> below,
                                              std::uint64_t outSize) {
    return std::make_unique<InflateStage>(std::move(below), outSize);
}

std::unique_ptr<DecodeStage> makeBzip2Stage(std::unique_ptr<DecodeStage> below,
                                            std::uint64_t outSize) {
    return std::make_unique<Bzip2Stage>(std::move(below), outSize);
}

std::unique_ptr<DecodeStage> makeCopyStage(std::unique_ptr<DecodeStage> below,
                                           std::uint64_t outSize) {
    return std::make_unique<CopyStage>(std::move(below), outSize);
}

bool isLzmaMethod(std::uint64_t methodId) {
    return methodId == method::lzma || methodId == method::lzma2;
}

bool isLzmaFilterMethod(std::uint64_t methodId) {
    return !isLzmaMethod(methodId) && lzmaFilterId(methodId) != LZMA_VLI_UNKNOWN;
}

std::uint64_t lzmaDecoderMemory(const std::vector<const Coder*>& coders, std::uint64_t outSize) {
    try {
        FilterChain chain(coders, outSize);
        const std::uint64_t memory = lzma_raw_decoder_memusage(chain.filters);
        return memory == UINT64_MAX ? 0 : memory;
    } catch (const ArchiveFailure&) {
        return 0;
    }
}

} // namespace vexa::sevenzip
