#pragma once

#include "engines/codec/PullStream.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::codec {

// Hands out its bytes in pieces of at most `piece`, so that members and blocks straddle the
// pulls.
class BytesStream : public PullStream {
  public:
    BytesStream(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        const std::size_t count = std::min({size, piece_, bytes_.size() - position_});
        std::copy_n(bytes_.data() + position_, count, out);
        position_ += count;
        return count;
    }

  private:
    std::string bytes_;
    std::size_t piece_;
    std::size_t position_ = 0;
};

// What `stream` gives, pulled `pull` bytes at a time, until it ends or `limit` bytes came.
inline std::string readAll(PullStream& stream, std::size_t pull, std::size_t limit = SIZE_MAX) {
    std::string out;
    std::vector<std::uint8_t> buffer(pull);
    while (out.size() < limit)
        if (const std::size_t count = stream.read(buffer.data(), buffer.size()))
            out.append(reinterpret_cast<const char*>(buffer.data()), count);
        else
            break;
    return out;
}

} // namespace vexa::codec
