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
    // Readies the state for a stream of the same kind after an ended one (gzip members, bzip2
    // streams and zstd frames follow each other so), given the bytes after the end; false when
    // the format has one stream only, or those bytes are no stream of it and are ignored.
    virtual bool startNextMember(const std::uint8_t* next, std::size_t available);
};

inline bool Decoder::startNextMember(const std::uint8_t*, std::size_t) {
    return false;
}

} // namespace vexa::codec
