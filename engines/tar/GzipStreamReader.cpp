#include "GzipStreamReader.h"

#include "TarReadFailure.h"

namespace vexa::tar {

GzipStreamReader::GzipStreamReader(ByteSource& input)
    : input_(input),
      stream_(asTarDecoding([this] { return std::make_unique<codec::GzipFileStream>(input_); })) {}

std::size_t GzipStreamReader::read(char* buffer, std::size_t capacity) {
    return asTarDecoding(
        [&] { return stream_->read(reinterpret_cast<std::uint8_t*>(buffer), capacity); });
}

void GzipStreamReader::recordAccessPoints(std::int64_t spacing) {
    stream_->recordAccessPoints(spacing);
}

std::optional<GzipAccessPoints> GzipStreamReader::takeAccessPoints() {
    return stream_->takeAccessPoints();
}

} // namespace vexa::tar
