#pragma once

#include "engines/codec/Decoder.h"

#include <zstd.h>

namespace vexa::codec {

// libzstd's streaming decoder; skippable frames are passed over and frames may follow each
// other.
class ZstdDecoder : public Decoder {
  public:
    ZstdDecoder();
    ~ZstdDecoder() override;
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    bool decode(CodecBuffers& io, bool inputEnded) override;
    // A decoder that has finished a frame starts the next one by itself.
    bool startNextMember(const std::uint8_t*, std::size_t) override { return true; }

  private:
    ZSTD_DCtx* context_;
};

} // namespace vexa::codec
