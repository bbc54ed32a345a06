#pragma once

#include "ByteSource.h"

#include <vector>
#include <zlib.h>

namespace vexa::tar {

// Decodes a gzip file of one or more members (as `cat a.gz b.gz` makes) into one stream; zero
// bytes after the last member are padding. Damaged or truncated data throws
// ArchiveFailure::tarFailure.
class GzipStreamReader : public ByteSource {
  public:
    explicit GzipStreamReader(ByteSource& input);
    ~GzipStreamReader() override;
    GzipStreamReader(const GzipStreamReader&) = delete;
    GzipStreamReader& operator=(const GzipStreamReader&) = delete;

    std::size_t read(char* buffer, std::size_t capacity) override;

  private:
    bool refill();
    void skipZeroPadding();

    ByteSource& input_;
    z_stream stream_{};
    std::vector<char> inputBuffer_;
    bool inputEnded_ = false;
    bool outputEnded_ = false;
    bool memberOpen_ = false;
    bool anyMember_ = false;
};

} // namespace vexa::tar
