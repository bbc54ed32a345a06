#pragma once

#include "ByteSource.h"
#include "engines/codec/DecodingStream.h"

#include <memory>

namespace vexa::tar {

// The decoded bytes of a compressed stream read from `input`, through the codec layer; data
// that does not decode, or ends early, throws ArchiveFailure::tarFailure.
class DecodedSource : public ByteSource {
  public:
    DecodedSource(ByteSource& input, std::unique_ptr<codec::Decoder> decoder);

    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    codec::DecodingStream stream_;
};

} // namespace vexa::tar
