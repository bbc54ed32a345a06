#pragma once

#include "ByteSource.h"
#include "platform/BlockPipe.h"

#include <cstddef>

namespace vexa::tar {

// A decoder over the archive file read a few blocks ahead of the reader on a thread of its own
// (platform::ReadAhead), so that decoding and whatever the reader does with the data overlap.
// Unlike SourceReadAhead, which reads the source files of a new archive, it reads one stream.
// The decoder must outlive this object.
class DecoderReadAhead : public LendingSource {
  public:
    explicit DecoderReadAhead(ByteSource& decoder, std::size_t blockSize = 512 * 1024,
                              std::size_t blockCount = 4)
        : ahead_(blockSize, blockCount, [&decoder](char* buffer, std::size_t capacity) {
              return decoder.read(buffer, capacity);
          }) {}

    std::size_t read(char* buffer, std::size_t capacity) override {
        return ahead_.read(buffer, capacity);
    }
    std::size_t lend(const char** data) override { return ahead_.lend(data); }

  private:
    platform::ReadAhead ahead_;
};

} // namespace vexa::tar
