#pragma once

#include "engines/codec/Inflate.h"
#include "engines/codec/PullStream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vexa::codec {

// The access points of a file of one gzip member, as a decoding from its start found them, and
// the member's decoded size.
struct GzipAccessPoints {
    std::vector<InflateAccessPoint> points;
    std::int64_t decodedSize = 0;
};

// What a gzip member's trailer, the 8 bytes after its deflate data, says.
struct GzipTrailer {
    std::uint32_t crc = 0;
    std::uint32_t size = 0; // the decoded size, modulo 2^32

    static GzipTrailer from(const std::array<std::uint8_t, 8>& bytes);
};

// A gzip file of one or more members (as `cat a.gz b.gz` makes) decoded into one stream; zero
// bytes after the last member are padding. Damaged or truncated data, or an empty file, throw
// DataError; lacking memory, std::bad_alloc.
class GzipFileStream : public PullStream {
  public:
    // `below` must outlive the stream.
    explicit GzipFileStream(PullStream& below);

    std::size_t read(std::uint8_t* out, std::size_t size) override;

    // From now on, notes an access point about every `spacing` decoded bytes of the first
    // member. Call before the first read.
    void recordAccessPoints(std::int64_t spacing);
    // The points noted, handed over once the whole file was read; none when it held several
    // members or too little for two stretches.
    std::optional<GzipAccessPoints> takeAccessPoints();

  private:
    bool refill();
    void skipZeroPadding();
    void notePoint();

    PullStream& below_;
    BlockInflateDecoder decoder_;
    std::vector<std::uint8_t> buffer_;
    CodecBuffers io_;
    bool inputEnded_ = false;
    bool outputEnded_ = false;
    bool memberOpen_ = false;
    int members_ = 0;
    std::int64_t spacing_ = 0; // 0: not recording
    GzipAccessPoints points_;
};

} // namespace vexa::codec
