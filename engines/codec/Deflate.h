#pragma once

#include <cstddef>
#include <cstdint>
#include <zlib.h>

namespace vexa::codec {

// Raw deflate data (no zlib or gzip wrapper) made with zlib, as ZIP stores it.
class Deflater {
  public:
    // What the flushing loop answers when zlib refuses the call (a stream never started).
    static constexpr int refused = -1;

    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool start(int level);
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
        return deflateFlushing(data, length, finish ? Z_FINISH : Z_NO_FLUSH, scratch, scratchSize,
                               sink);
    }
    // The same with a zlib flush mode: Z_SYNC_FLUSH ends the output on a byte boundary without
    // ending the stream, so that the pieces of separately compressed data join into one stream.
    template <typename Sink>
    int deflateFlushing(const std::uint8_t* data, std::size_t length, int flush,
                        std::uint8_t* scratch, std::size_t scratchSize, Sink&& sink) {
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
    bool started_ = false;
};

} // namespace vexa::codec
