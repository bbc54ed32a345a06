#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::tar {

// Bytes read in order, as a file or a decoder gives them.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Fills up to `capacity` bytes; 0 only at the end of the data. Throws on failure.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
};

// A source that hands out its bytes where they lie, without a copy.
class LendingSource : public ByteSource {
  public:
    // The next bytes; they stay valid until the next call of read, lend or skip. 0 only at the
    // end of the data.
    virtual std::size_t lend(const char** data) = 0;
    virtual bool skips() const { return false; }
    // Moves forward without producing the bytes, never past the end; answers how far it moved.
    // Only for a source that skips().
    virtual std::int64_t skip(std::int64_t) { return 0; }
};

} // namespace vexa::tar
