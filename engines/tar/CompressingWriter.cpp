#include "CompressingWriter.h"

#include "TarWriteFailure.h"
#include "engines/codec/PullStream.h"
#include "platform/FileOperations.h"

#include <cstdint>

namespace vexa::tar {

CompressingWriter::CompressingWriter(int descriptor, std::filesystem::path location,
                                     std::unique_ptr<codec::Encoder> encoder, std::size_t blockSize,
                                     std::function<void(std::int64_t)> wrote)
    : encoder_(std::move(encoder)),
      output_(blockSize, 8,
              [descriptor, location = std::move(location), wrote = std::move(wrote),
               length = std::int64_t{0}](const char* data, std::size_t size) mutable {
                  files::writeAll(descriptor, data, size, location);
                  length += static_cast<std::int64_t>(size);
                  if (wrote)
                      wrote(length);
              }) {}

CompressingWriter::~CompressingWriter() = default;

void CompressingWriter::write(const void* data, std::size_t size) {
    codec::CodecBuffers io;
    io.in = static_cast<const std::uint8_t*>(data);
    io.inSize = size;
    drain(io, false);
}

void CompressingWriter::finish() {
    if (finished_)
        return;
    codec::CodecBuffers io;
    drain(io, true);
    output_.finish();
    finished_ = true;
}

void CompressingWriter::drain(codec::CodecBuffers& io, bool end) {
    for (;;) {
        io.out = reinterpret_cast<std::uint8_t*>(output_.block());
        io.outSize = output_.blockSize();
        const bool done = asTarEncoding([&] { return encoder_->encode(io, end); });
        output_.hand(output_.blockSize() - io.outSize);
        if (done)
            return;
    }
}

} // namespace vexa::tar
