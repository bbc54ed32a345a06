#pragma once

#include "engines/codec/Encoder.h"

#include <cstddef>
#include <cstdint>
#include <zlib.h>

namespace vexa::codec {

// Deflate data made with zlib: raw (no zlib or gzip wrapper), as ZIP stores it, or in a gzip
// member.
class Deflater {
  public:
    // What the flushing loop answers when zlib refuses the call (a stream never started).
    static constexpr int refused = -1;
    // zlib's own default level.
    static constexpr int defaultLevel = Z_DEFAULT_COMPRESSION;
    // How far a call takes the stream: `sync` ends the output on a byte boundary without ending
    // the stream, so that the pieces of separately compressed data join into one stream.
    enum class Flush { none, sync, finish };

    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // `level` is zlib's, Z_DEFAULT_COMPRESSION its own default.
    bool start(int level);
    // A gzip member as the gzip program frames it: no name, `modified` as its time, Unix as its
    // system, and the extra flags telling the fastest and the best level.
    bool startGzip(int level, std::uint32_t modified);
    // Begins a new stream with the same level, keeping the memory of the last one.
    bool reset();
    // Primes a new stream's window with the bytes that precede its data, so that a stream cut
    // into pieces compresses as well as a whole one.
    bool setDictionary(const std::uint8_t* data, std::size_t length);
    // Compresses `length` bytes (or, with finish, the end of the stream) and passes each filled
    // piece of `scratch` to `sink`, whose first non-zero answer is handed back.
    template <typename Sink>
    int deflate(const std::uint8_t* data, std::size_t length, bool finish, std::uint8_t* scratch,
                std::size_t scratchSize, Sink&& sink) {
        return deflateFlushing(data, length, finish ? Flush::finish : Flush::none, scratch,
                               scratchSize, sink);
    }
    // One step of the codec layer's encoder: see Encoder::encode. Throws EncodingError when zlib
    // refuses the call.
    bool encode(CodecBuffers& io, bool end);
    // The same with a flush mode.
    template <typename Sink>
    int deflateFlushing(const std::uint8_t* data, std::size_t length, Flush mode,
                        std::uint8_t* scratch, std::size_t scratchSize, Sink&& sink) {
        const int flush = mode == Flush::finish ? Z_FINISH
                          : mode == Flush::sync ? Z_SYNC_FLUSH
                                                : Z_NO_FLUSH;
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(length);
        for (;;) {
            stream_.next_out = scratch;
            stream_.avail_out = static_cast<uInt>(scratchSize);
            const int result = ::deflate(&stream_, flush);
            if (result == Z_STREAM_ERROR)
                return refused;
            const std::size_t produced = scratchSize - stream_.avail_out;
            if (produced > 0) {
                const int status = sink(scratch, produced);
                if (status != 0)
                    return status;
            }
            if (flush == Z_FINISH ? result == Z_STREAM_END
                                  : (stream_.avail_in == 0 && stream_.avail_out != 0))
                return 0;
        }
    }

  private:
    z_stream stream_{};
    // Read by zlib when it writes the member's header, after the start.
    gz_header gzipHeader_{};
    bool started_ = false;
};

// A gzip member made with zlib, as the gzip program writes it. Failures are UnsupportedSettings
// (a level zlib refuses), EncodingError, std::bad_alloc.
class GzipEncoder : public Encoder {
  public:
    static constexpr int defaultLevel = Deflater::defaultLevel;
    GzipEncoder(int level, std::uint32_t modified);
    bool encode(CodecBuffers& io, bool end) override { return deflater_.encode(io, end); }

  private:
    Deflater deflater_;
};

} // namespace vexa::codec
