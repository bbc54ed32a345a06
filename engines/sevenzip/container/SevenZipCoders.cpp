#include "engines/sevenzip/container/SevenZipCoders.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/codec/Bzip2.h"
#include "engines/codec/DecodingStream.h"
#include "engines/codec/Inflate.h"
#include "engines/codec/Lzma.h"
#include "engines/codec/LzmaFilterChain.h"
#include "engines/sevenzip/container/SevenZipFormat.h"

#include <algorithm>
#include <optional>

namespace vexa::sevenzip {

namespace {

constexpr std::size_t inputBufferSize = 64 * 1024;

[[noreturn]] void damaged() {
    throw SevenZipDataError("data does not decode");
}

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

class AesStage : public DecodeStage {
  public:
    AesStage(std::unique_ptr<DecodeStage> below, const AesKey& key, const AesProperties& properties,
             std::uint64_t outSize)
        : below_(std::move(below)), remaining_(outSize), buffer_(inputBufferSize),
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

    std::unique_ptr<DecodeStage> below_;
    std::uint64_t remaining_;
    std::vector<std::uint8_t> buffer_;
    AesCbc cipher_;
    std::size_t plainPosition_ = 0;
    std::size_t plainFilled_ = 0;
};

std::optional<codec::LzmaFilterKind> lzmaFilterKind(std::uint64_t methodId) {
    using Kind = codec::LzmaFilterKind;
    switch (methodId) {
    case method::lzma:
        return Kind::lzma;
    case method::lzma2:
        return Kind::lzma2;
    case method::bcjX86:
    case method::shortX86:
        return Kind::x86;
    case method::powerPc:
    case method::shortPowerPc:
        return Kind::powerPc;
    case method::ia64:
    case method::shortIa64:
        return Kind::ia64;
    case method::arm:
    case method::shortArm:
        return Kind::arm;
    case method::armThumb:
    case method::shortArmThumb:
        return Kind::armThumb;
    case method::sparc:
    case method::shortSparc:
        return Kind::sparc;
    case method::arm64:
        return Kind::arm64;
    case method::delta:
        return Kind::delta;
    default:
        return std::nullopt;
    }
}

// The codec layer's filter chain for `coders`; those it refuses are a method this reader does
// not support.
std::unique_ptr<codec::LzmaFilterChain> lzmaChain(const std::vector<const Coder*>& coders,
                                                  std::uint64_t outSize) {
    std::vector<codec::LzmaFilterChain::Filter> filters;
    for (const Coder* coder : coders) {
        const std::optional<codec::LzmaFilterKind> kind = lzmaFilterKind(coder->methodId);
        if (!kind)
            throw ArchiveFailure::unsupported7z();
        filters.push_back({*kind, coder->properties});
    }
    try {
        return std::make_unique<codec::LzmaFilterChain>(filters, outSize);
    } catch (const codec::UnsupportedSettings&) {
        throw ArchiveFailure::unsupported7z();
    }
}

// A codec stage of a folder: the codec's decoder over the stage below, cut at the declared size.
class CodecStage : public DecodeStage {
  public:
    CodecStage(std::unique_ptr<DecodeStage> below, std::unique_ptr<codec::Decoder> decoder,
               std::uint64_t outSize)
        : decoded_(std::move(below), std::move(decoder)), remaining_(outSize) {}

    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        if (want == 0)
            return 0;
        std::size_t count = 0;
        try {
            count = decoded_.read(out, want);
        } catch (const codec::DataError&) {
            damaged();
        }
        if (count == 0)
            damaged(); // ended before its size
        remaining_ -= count;
        return count;
    }

  private:
    codec::DecodingStream decoded_;
    std::uint64_t remaining_;
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
    const std::unique_ptr<codec::LzmaFilterChain> chain = lzmaChain(coders, outSize);
    std::unique_ptr<codec::Decoder> decoder;
    try {
        decoder = std::make_unique<codec::LzmaDecoder>(codec::LzmaDecoder::raw(*chain));
    } catch (const codec::UnsupportedSettings&) {
        throw ArchiveFailure::unsupported7z();
    }
    return std::make_unique<CodecStage>(std::move(below), std::move(decoder), outSize);
}

std::unique_ptr<DecodeStage> makeInflateStage(std::unique_ptr<DecodeStage> below,
                                              std::uint64_t outSize) {
    return std::make_unique<CodecStage>(std::move(below), std::make_unique<codec::InflateDecoder>(),
                                        outSize);
}

std::unique_ptr<DecodeStage> makeBzip2Stage(std::unique_ptr<DecodeStage> below,
                                            std::uint64_t outSize) {
    return std::make_unique<CodecStage>(std::move(below), std::make_unique<codec::Bzip2Decoder>(),
                                        outSize);
}

std::unique_ptr<DecodeStage> makeCopyStage(std::unique_ptr<DecodeStage> below,
                                           std::uint64_t outSize) {
    return std::make_unique<CopyStage>(std::move(below), outSize);
}

bool isLzmaMethod(std::uint64_t methodId) {
    return methodId == method::lzma || methodId == method::lzma2;
}

bool isLzmaFilterMethod(std::uint64_t methodId) {
    return !isLzmaMethod(methodId) && lzmaFilterKind(methodId).has_value();
}

std::uint64_t lzmaDecoderMemory(const std::vector<const Coder*>& coders, std::uint64_t outSize) {
    try {
        return lzmaChain(coders, outSize)->decoderMemory();
    } catch (const ArchiveFailure&) {
        return 0;
    }
}

} // namespace vexa::sevenzip
