#include "engines/codec/InflateGzipFile.h"

#include <algorithm>

namespace vexa::codec {

namespace {
constexpr std::size_t inputBufferSize = 256 * 1024;
// More points than this make the spacing grow: their windows stay within 8 MiB.
constexpr std::size_t maximumPoints = 256;
} // namespace

GzipTrailer GzipTrailer::from(const std::array<std::uint8_t, 8>& bytes) {
    auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at]) |
               static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
               static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    };
    return {word(0), word(4)};
}

GzipFileStream::GzipFileStream(PullStream& below)
    : below_(below), decoder_(InflateDecoder::Framing::gzip), buffer_(inputBufferSize) {}

bool GzipFileStream::refill() {
    const std::size_t count = below_.read(buffer_.data(), buffer_.size());
    if (count == 0) {
        inputEnded_ = true;
        return false;
    }
    io_.in = buffer_.data();
    io_.inSize = count;
    return true;
}

void GzipFileStream::skipZeroPadding() {
    do {
        if (std::any_of(io_.in, io_.in + io_.inSize, [](std::uint8_t byte) { return byte != 0; }))
            throw DataError("gzip data is followed by other data");
        io_.inSize = 0;
    } while (refill());
}

std::size_t GzipFileStream::read(std::uint8_t* out, std::size_t size) {
    if (outputEnded_ || size == 0)
        return 0;
    io_.out = out;
    io_.outSize = size;
    while (io_.outSize > 0) {
        if (io_.inSize == 0 && !inputEnded_ && !refill())
            continue;
        if (io_.inSize == 0) {
            // The input is over: fine between members, a truncation inside one; an empty file
            // holds no gzip data at all.
            if (memberOpen_ || members_ == 0)
                throw DataError("gzip data ends early");
            outputEnded_ = true;
            break;
        }
        if (!memberOpen_ && members_ > 0 && *io_.in == 0) {
            // Zeros after the last member are block padding (tape-style writers), which gzip
            // itself accepts; anything else there is damage.
            skipZeroPadding();
            outputEnded_ = true;
            break;
        }
        if (!memberOpen_)
            ++members_;
        memberOpen_ = true;
        // Recording stops at every deflate block's start, where a point may be noted.
        const bool recording = spacing_ > 0 && members_ == 1;
        const bool ended = recording ? decoder_.decodeToBlock(io_) : decoder_.decode(io_, false);
        if (ended) {
            memberOpen_ = false;
            if (members_ == 1)
                points_.decodedSize = decoder_.decodedSize();
            // The next member, if any, starts with its own header in the unread input.
            decoder_.startNextMember(io_.in, io_.inSize);
        } else if (recording) {
            notePoint();
        }
    }
    return size - io_.outSize;
}

void GzipFileStream::recordAccessPoints(std::int64_t spacing) {
    spacing_ = spacing;
}

void GzipFileStream::notePoint() {
    const std::int64_t last = points_.points.empty() ? 0 : points_.points.back().output;
    if (decoder_.decodedSize() - last < spacing_)
        return;
    std::optional<InflateAccessPoint> point = decoder_.accessPoint();
    if (!point)
        return;
    points_.points.push_back(std::move(*point));
    if (points_.points.size() > maximumPoints) {
        // Every other point goes, and the spacing doubles.
        std::vector<InflateAccessPoint> kept;
        for (std::size_t i = 1; i < points_.points.size(); i += 2)
            kept.push_back(std::move(points_.points[i]));
        points_.points = std::move(kept);
        spacing_ *= 2;
    }
}

std::optional<GzipAccessPoints> GzipFileStream::takeAccessPoints() {
    if (spacing_ == 0 || members_ != 1 || memberOpen_ || points_.points.empty())
        return std::nullopt;
    return std::move(points_);
}

} // namespace vexa::codec
