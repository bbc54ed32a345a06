#pragma once

#include "ByteSource.h"
#include "engines/codec/DecodingStream.h"

#include <memory>

namespace vexa::tar {

// A source read as the codec layer's pull stream; the source must outlive it.
class SourceStream : public codec::PullStream {
  public:
    explicit SourceStream(ByteSource& input) : input_(input) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        return input_.read(reinterpret_cast<char*>(out), size);
    }

  private:
    ByteSource& input_;
};

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
