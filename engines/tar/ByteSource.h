#pragma once

#include <cstddef>

namespace vexa::tar {

// Bytes read in order, as a file or a decoder gives them.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Fills up to `capacity` bytes; 0 only at the end of the data. Throws on failure.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

} // namespace vexa::tar
