#pragma once

#include "engines/codec/PullStream.h"
#include "engines/sevenzip/container/SevenZipAes.h"
#include "engines/sevenzip/container/SevenZipHeader.h"
#include "engines/sevenzip/container/SevenZipInput.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The decoding stages a folder is built from. Each stage pulls from the one below it and yields
// exactly its declared size: it stops there, and throws SevenZipDataError when the data below
// ends early or does not decode.
namespace vexa::sevenzip {

using DecodeStage = codec::PullStream;

std::unique_ptr<DecodeStage> makePackedStage(const SevenZipInput& input, std::uint64_t offset,
                                             std::uint64_t size);
std::unique_ptr<DecodeStage> makeAesStage(std::unique_ptr<DecodeStage> below, const AesKey& key,
                                          const AesProperties& properties, std::uint64_t outSize);
// A liblzma raw decoder: `coders` from the top (the filter nearest the output) down to the
// LZMA or LZMA2 coder at the bottom.
std::unique_ptr<DecodeStage> makeLzmaStage(std::unique_ptr<DecodeStage> below,
                                           const std::vector<const Coder*>& coders,
                                           std::uint64_t outSize);
std::unique_ptr<DecodeStage> makeInflateStage(std::unique_ptr<DecodeStage> below,
                                              std::uint64_t outSize);
std::unique_ptr<DecodeStage> makeBzip2Stage(std::unique_ptr<DecodeStage> below,
                                            std::uint64_t outSize);
std::unique_ptr<DecodeStage> makeCopyStage(std::unique_ptr<DecodeStage> below,
                                           std::uint64_t outSize);

bool isLzmaMethod(std::uint64_t methodId);
// Branch converters and delta: liblzma runs them only on top of an LZMA or LZMA2 decoder.
bool isLzmaFilterMethod(std::uint64_t methodId);
// Memory a liblzma decoder of these coders needs for `outSize` bytes; 0 for other coders.
std::uint64_t lzmaDecoderMemory(const std::vector<const Coder*>& coders, std::uint64_t outSize);

} // namespace vexa::sevenzip
