#pragma once

#include "engines/codec/Encoder.h"

#include <cstdint>
#include <lzma.h>

namespace vexa::codec {

// liblzma's .xz stream encoder on one thread: one block of LZMA2 at one of xz's presets, with a
// CRC64 check, as the xz program writes it. Failures are UnsupportedSettings (a preset liblzma
// does not have), EncodingError, std::bad_alloc.
class XzEncoder : public Encoder {
  public:
    // `preset` is xz's level, 0 to 9.
    static constexpr std::uint32_t defaultPreset = LZMA_PRESET_DEFAULT;
    explicit XzEncoder(std::uint32_t preset);
    ~XzEncoder() override;
    XzEncoder(const XzEncoder&) = delete;
    XzEncoder& operator=(const XzEncoder&) = delete;

    bool encode(CodecBuffers& io, bool end) override;

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

} // namespace vexa::codec
