#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace vexa::sevenzip {

// The archive's bytes (all parts of a set, in order) for random reads. readAt may be called
// from several threads at once: folders are decoded in parallel.
class SevenZipInput {
  public:
    virtual ~SevenZipInput() = default;
    virtual std::uint64_t size() const = 0;
    // Exactly `size` bytes at `offset`, or an exception of the implementation's choice.
    virtual void readAt(std::uint64_t offset, void* buffer, std::size_t size) const = 0;
};

// Packed data that does not decode, decodes to other sizes than the header says, or fails its
// CRC. Whoever knows what the data is (an entry, an encrypted folder) turns it into a failure.
class SevenZipDataError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

} // namespace vexa::sevenzip
