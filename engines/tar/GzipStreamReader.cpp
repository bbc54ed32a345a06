#include "GzipStreamReader.h"

#include "TarReadFailure.h"

#include <algorithm>

namespace vexa::tar {

namespace {
constexpr std::size_t inputBufferSize = 256 * 1024;
// 15-bit window, gzip wrapper only: a zlib or raw stream is damage here, not a guess.
constexpr int gzipWindowBits = 15 + 16;
constexpr std::size_t windowSize = 32 * 1024;
// More points than this make the spacing grow: their windows stay within 8 MiB.
constexpr std::size_t maximumPoints = 256;
} // namespace

GzipStreamReader::GzipStreamReader(ByteSource& input)
    : input_(input), inputBuffer_(inputBufferSize) {
    int status = inflateInit2(&stream_, gzipWindowBits);
    if (status == Z_MEM_ERROR)
        throw outOfMemory();
    if (status != Z_OK)
        throw damagedArchive();
}

GzipStreamReader::~GzipStreamReader() {
    inflateEnd(&stream_);
}

bool GzipStreamReader::refill() {
    std::size_t count = input_.read(inputBuffer_.data(), inputBuffer_.size());
    if (count == 0) {
        inputEnded_ = true;
        return false;
    }
    stream_.next_in = reinterpret_cast<Bytef*>(inputBuffer_.data());
    stream_.avail_in = static_cast<uInt>(count);
    return true;
}

void GzipStreamReader::skipZeroPadding() {
    do {
        if (std::any_of(stream_.next_in, stream_.next_in + stream_.avail_in,
                        [](Bytef byte) { return byte != 0; }))
            throw damagedArchive();
        stream_.avail_in = 0;
    } while (refill());
}

std::size_t GzipStreamReader::read(char* buffer, std::size_t capacity) {
    if (outputEnded_ || capacity == 0)
        return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(buffer);
    stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, 1u << 30));
    const uInt wanted = stream_.avail_out;
    while (stream_.avail_out > 0) {
        if (stream_.avail_in == 0 && !inputEnded_ && !refill())
            continue;
        if (stream_.avail_in == 0) {
            // The input is over: fine between members, a truncation inside one; an empty file
            // holds no gzip data at all.
            if (memberOpen_ || members_ == 0)
                throw damagedArchive();
            outputEnded_ = true;
            break;
        }
        if (!memberOpen_ && members_ > 0 && *stream_.next_in == 0) {
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
        int status = inflate(&stream_, spacing_ > 0 && members_ == 1 ? Z_BLOCK : Z_NO_FLUSH);
        if (status == Z_OK && spacing_ > 0 && members_ == 1)
            notePoint(reinterpret_cast<const Bytef*>(buffer));
        if (status == Z_STREAM_END) {
            memberOpen_ = false;
            if (members_ == 1)
                points_.decodedSize = static_cast<std::int64_t>(stream_.total_out);
            // The next member, if any, starts with its own header; inflateReset keeps the
            // unread input.
            if (inflateReset(&stream_) != Z_OK)
                throw damagedArchive();
        } else if (status == Z_MEM_ERROR) {
            throw outOfMemory();
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            throw damagedArchive();
        }
    }
    if (spacing_ > 0 && members_ == 1)
        keepHistory(reinterpret_cast<const Bytef*>(buffer));
    return wanted - stream_.avail_out;
}

void GzipStreamReader::recordAccessPoints(std::int64_t spacing) {
    spacing_ = spacing;
}

void GzipStreamReader::notePoint(const Bytef* callStart) {
    // Bit 7: the decoder stands at the end of a block header or between blocks; bit 6: after
    // the last block, where nothing more starts.
    if (!(stream_.data_type & 128) || (stream_.data_type & 64))
        return;
    auto output = static_cast<std::int64_t>(stream_.total_out);
    std::int64_t last = points_.points.empty() ? 0 : points_.points.back().output;
    if (output - last < spacing_)
        return;
    GzipAccessPoint point;
    point.input = static_cast<std::int64_t>(stream_.total_in);
    point.bits = stream_.data_type & 7;
    point.output = output;
    std::size_t produced = static_cast<std::size_t>(stream_.next_out - callStart);
    std::size_t fromHistory =
        windowSize > produced ? std::min(history_.size(), windowSize - produced) : 0;
    point.window.assign(history_.end() - static_cast<std::ptrdiff_t>(fromHistory), history_.end());
    std::size_t fromCall = std::min(produced, windowSize);
    point.window.insert(point.window.end(), stream_.next_out - fromCall, stream_.next_out);
    points_.points.push_back(std::move(point));
    if (points_.points.size() > maximumPoints) {
        // Every other point goes, and the spacing doubles.
        std::vector<GzipAccessPoint> kept;
        for (std::size_t i = 1; i < points_.points.size(); i += 2)
            kept.push_back(std::move(points_.points[i]));
        points_.points = std::move(kept);
        spacing_ *= 2;
    }
}

void GzipStreamReader::keepHistory(const Bytef* callStart) {
    std::size_t produced = static_cast<std::size_t>(stream_.next_out - callStart);
    std::size_t kept = std::min(produced, windowSize);
    std::size_t older = std::min(history_.size(), windowSize - kept);
    history_.erase(history_.begin(), history_.end() - static_cast<std::ptrdiff_t>(older));
    history_.insert(history_.end(), stream_.next_out - kept, stream_.next_out);
}

std::optional<GzipAccessPoints> GzipStreamReader::takeAccessPoints() {
    if (spacing_ == 0 || members_ != 1 || memberOpen_ || points_.points.empty())
        return std::nullopt;
    return std::move(points_);
}

} // namespace vexa::tar
