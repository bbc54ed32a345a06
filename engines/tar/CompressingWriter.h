#pragma once

#include "engines/codec/Encoder.h"
#include "platform/BlockPipe.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

namespace vexa::tar {

// Compresses one stream into an open file through a codec encoder and fixed buffers, the output
// written to the file on a thread of its own (platform::WriteBehind). Write failures throw the
// platform's errors; a failure of the library throws ArchiveFailure::tarFailure, a lack of
// memory the engine's own failure.
class CompressingWriter {
  public:
    // `descriptor` stays owned by the caller; `blockSize` is that of the output buffers. `wrote`,
    // when given, hears the file's length after every write, on the writing thread.
    CompressingWriter(int descriptor, std::filesystem::path location,
                      std::unique_ptr<codec::Encoder> encoder, std::size_t blockSize,
                      std::function<void(std::int64_t)> wrote = {});
    ~CompressingWriter();
    CompressingWriter(const CompressingWriter&) = delete;
    CompressingWriter& operator=(const CompressingWriter&) = delete;

    void write(const void* data, std::size_t size);
    // Ends the compressed stream and writes what is left; nothing may be written afterwards.
    void finish();
    // The bytes written to the file so far.
    std::int64_t written() const { return output_.drained(); }

  private:
    void drain(codec::CodecBuffers& io, bool end);

    std::unique_ptr<codec::Encoder> encoder_;
    platform::WriteBehind output_;
    bool finished_ = false;
};

} // namespace vexa::tar
