#include "engines/codec/DecodingStream.h"

#include "platform/Progress.h"

namespace vexa::codec {

namespace {
constexpr std::size_t inputBufferSize = 64 * 1024;
}

DecodingStream::DecodingStream(std::unique_ptr<PullStream> below, std::unique_ptr<Decoder> decoder,
                               const Progress* progress)
    : below_(std::move(below)), decoder_(std::move(decoder)), progress_(progress),
      buffer_(inputBufferSize) {}

bool DecodingStream::refill() {
    if (position_ < filled_)
        return true;
    filled_ = below_->read(buffer_.data(), buffer_.size());
    position_ = 0;
    return filled_ > 0;
}

std::size_t DecodingStream::read(std::uint8_t* out, std::size_t size) {
    if (ended_ || size == 0)
        return 0;
    if (progress_ != nullptr)
        progress_->throwIfCancelled();
    CodecBuffers io{nullptr, 0, out, size};
    while (io.outSize == size) {
        const bool more = refill();
        io.in = buffer_.data() + position_;
        io.inSize = filled_ - position_;
        const std::size_t offered = io.inSize;
        const bool end = decoder_->decode(io, !more);
        position_ = filled_ - io.inSize;
        if (end) {
            if (refill() &&
                decoder_->startNextMember(buffer_.data() + position_, filled_ - position_))
                continue;
            ended_ = true;
            break;
        }
        if (io.outSize == size && (!more || io.inSize == offered))
            throw DataError(more ? "data does not decode" : "data ends early");
    }
    return size - io.outSize;
}

} // namespace vexa::codec
