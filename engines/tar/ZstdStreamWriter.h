#pragma once

#include "engines/codec/ZstdEncoder.h"
#include "platform/BlockPipe.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

namespace vexa::tar {

// Compresses one stream into an open file as a single zstd frame with a content checksum,
// through fixed buffers, with up to one worker per active processor within a fixed memory
// budget, the output written to the file on a thread of its own (platform::WriteBehind). Write
// failures throw the platform's errors; a failure of the library throws
// ArchiveFailure::tarFailure.
class ZstdStreamWriter {
  public:
    // `level` is zstd's own compression level; `descriptor` stays owned by the caller. `wrote`,
    // when given, hears the file's length after every write, on the writing thread.
    ZstdStreamWriter(int descriptor, std::filesystem::path location, int level,
                     std::function<void(std::int64_t)> wrote = {});
    ~ZstdStreamWriter();
    ZstdStreamWriter(const ZstdStreamWriter&) = delete;
    ZstdStreamWriter& operator=(const ZstdStreamWriter&) = delete;

    void write(const void* data, std::size_t size);
    // Ends the frame and writes what is left; nothing may be written afterwards.
    void finish();
    // The bytes written to the file so far.
    std::int64_t written() const { return output_.drained(); }

  private:
    void drain(codec::CodecBuffers& io, bool end);

    codec::ZstdEncoder encoder_;
    platform::WriteBehind output_;
    bool finished_ = false;
};

} // namespace vexa::tar
