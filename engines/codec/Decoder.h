#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::codec {

// The buffers of one decoding step; the step advances both past what it used.
struct CodecBuffers {
    const std::uint8_t* in = nullptr;
    std::size_t inSize = 0;
    std::uint8_t* out = nullptr;
    std::size_t outSize = 0;
};

// One codec library's decoder state. Failures are DataError (the data), std::bad_alloc.
class Decoder {
  public:
    virtual ~Decoder() = default;
    // Decodes what fits; true once the stream (or the member of a concatenated format) has
    // ended. `inputEnded` says that no input follows what `io` holds.
    virtual bool decode(CodecBuffers& io, bool inputEnded) = 0;
    // Whether another stream of the same kind may follow an ended one, as gzip members, xz
    // streams, bzip2 streams and zstd frames do.
    virtual bool concatenates() const { return false; }
    // Readies the state for the stream that follows an ended one.
    virtual void startNextMember() {}
};

} // namespace vexa::codec
