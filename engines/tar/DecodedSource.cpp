#include "DecodedSource.h"

#include "TarReadFailure.h"

namespace vexa::tar {

DecodedSource::DecodedSource(ByteSource& input, std::unique_ptr<codec::Decoder> decoder)
    : stream_(std::make_unique<SourceStream>(input), std::move(decoder)) {}

std::size_t DecodedSource::read(char* buffer, std::size_t capacity) {
    return asTarDecoding(
        [&] { return stream_.read(reinterpret_cast<std::uint8_t*>(buffer), capacity); });
}

} // namespace vexa::tar
