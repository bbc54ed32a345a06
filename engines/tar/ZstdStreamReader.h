#pragma once

#include "ByteSource.h"

#include <vector>
#include <zstd.h>

namespace vexa::tar {

// Decodes a zstd file of one or more frames into one stream through a fixed buffer, so that
// neither the file nor an entry is ever held whole. Damaged or truncated data throws
// ArchiveFailure::tarFailure.
class ZstdStreamReader : public ByteSource {
  public:
    explicit ZstdStreamReader(ByteSource& input);
    ~ZstdStreamReader() override;
    ZstdStreamReader(const ZstdStreamReader&) = delete;
    ZstdStreamReader& operator=(const ZstdStreamReader&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override;

    // Whether the bytes begin a zstd frame or a skippable frame.
    static bool hasMagic(const char* bytes, std::size_t count);

  private:
    std::size_t decode(ZSTD_outBuffer& output);

    ByteSource& input_;
    ZSTD_DStream* stream_ = nullptr;
    std::vector<char> inputBuffer_;
    ZSTD_inBuffer pending_{nullptr, 0, 0};
    bool inputEnded_ = false;
    bool outputEnded_ = false;
    bool frameOpen_ = false;
    bool anyFrame_ = false;
};

} // namespace vexa::tar
