#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace vexa::codec {

// Bytes handed out in pieces to whoever pulls them: packed data from an archive, or what a
// decoder makes of the stream below it.
class PullStream {
  public:
    virtual ~PullStream() = default;
    // Up to `size` bytes; 0 only once the stream has ended.
    virtual std::size_t read(std::uint8_t* out, std::size_t size) = 0;
};

// Compressed data that does not decode, fails its own check, or ends before its stream does.
// The format that holds the data turns it into its own failure.
class DataError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Settings a codec library refuses (an unknown filter, properties out of range).
class UnsupportedSettings : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A codec library that fails to encode for a reason other than memory.
class EncodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace vexa::codec
