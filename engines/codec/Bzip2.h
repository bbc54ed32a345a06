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
    bool concatenates() const override { return true; }
    void startNextMember() override;

  private:
    bz_stream stream_{};
};

} // namespace vexa::codec
