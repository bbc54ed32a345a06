#pragma once

#include "engines/codec/Decoder.h"
#include "engines/codec/Encoder.h"

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

// libbz2's compressor making one bzip2 stream. Failures are UnsupportedSettings (a block size
// out of range), EncodingError, std::bad_alloc.
class Bzip2Encoder : public Encoder {
  public:
    // `blockSize` is bzip2's level: its blocks hold that many hundreds of kilobytes (1 to 9).
    // The bzip2 program's default is the largest.
    static constexpr int defaultBlockSize = 9;
    explicit Bzip2Encoder(int blockSize);
    ~Bzip2Encoder() override;
    Bzip2Encoder(const Bzip2Encoder&) = delete;
    Bzip2Encoder& operator=(const Bzip2Encoder&) = delete;

    bool encode(CodecBuffers& io, bool end) override;

  private:
    bz_stream stream_{};
};

} // namespace vexa::codec
