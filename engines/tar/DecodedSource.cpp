#include "DecodedSource.h"

#include "TarReadFailure.h"

namespace vexa::tar {

namespace {

class InputStream : public codec::PullStream {
  public:
    explicit InputStream(ByteSource& input) : input_(input) {}
    std::size_t read(std::uint8_t* out, std::size_t size) override {
        return input_.read(reinterpret_cast<char*>(out), size);
    }

  private:
    ByteSource& input_;
};

} // namespace

DecodedSource::DecodedSource(ByteSource& input, std::unique_ptr<codec::Decoder> decoder)
    : stream_(std::make_unique<InputStream>(input), std::move(decoder)) {}

std::size_t DecodedSource::read(char* buffer, std::size_t capacity) {
    return asTarDecoding(
        [&] { return stream_.read(reinterpret_cast<std::uint8_t*>(buffer), capacity); });
}

} // namespace vexa::tar
