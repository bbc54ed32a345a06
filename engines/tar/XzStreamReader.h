#pragma once

#include "ByteSource.h"
#include "engines/codec/Lzma.h"

#include <vector>

namespace vexa::tar {

// Decodes an xz file of one or more streams into one stream with liblzma's multi-threaded
// decoder: the blocks of a file written by a multi-threaded compressor (xz -T0) decode on
// several cores, a file of one block on one. Every block's check is verified. Damaged or
// truncated data throws ArchiveFailure::tarFailure.
class XzStreamReader : public ByteSource {
  public:
    explicit XzStreamReader(ByteSource& input);

    std::size_t read(char* buffer, std::size_t capacity) override;

    static bool hasMagic(const char* bytes, std::size_t count);

  private:
    ByteSource& input_;
    codec::LzmaDecoder decoder_;
    std::vector<char> inputBuffer_;
    codec::CodecBuffers io_;
    bool inputEnded_ = false;
    bool outputEnded_ = false;
};

} // namespace vexa::tar
