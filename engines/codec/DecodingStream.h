#pragma once

#include "engines/codec/Decoder.h"
#include "engines/codec/PullStream.h"

#include <memory>
#include <vector>

namespace vexa {
class Progress;
}

namespace vexa::codec {

// A decoder fed from the stream below it. Ends where the compressed stream ends (after the last
// member of a concatenated format); throws DataError when the data below ends first. With a
// progress object, every pull first polls its cancellation.
class DecodingStream : public PullStream {
  public:
    DecodingStream(std::unique_ptr<PullStream> below, std::unique_ptr<Decoder> decoder,
                   const Progress* progress = nullptr);

    std::size_t read(std::uint8_t* out, std::size_t size) override;

  private:
    // Refills the input when it is used up; false when the stream below has ended.
    bool refill();

    std::unique_ptr<PullStream> below_;
    std::unique_ptr<Decoder> decoder_;
    const Progress* progress_;
    std::vector<std::uint8_t> buffer_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    bool ended_ = false;
};

} // namespace vexa::codec
