#pragma once

#include "engines/codec/Decoder.h"

#include <bzlib.h>

namespace vexa::codec {

// libbz2's decoder. Several bzip2 streams may follow each other, as multi-threaded writers make
// them.
class Bzip2Decoder : public Decoder {
  public:
    Bzip2Decoder();
    ~Bzip2Decoder() override;
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    bool decode(CodecBuffers& io, bool inputEnded) override;
    // Bytes after the last stream that do not begin as one are ignored, as bzip2 itself does.
    bool startNextMember(const std::uint8_t* next, std::size_t available) override;

  private:
    bz_stream stream_{};
};

} // namespace vexa::codec
