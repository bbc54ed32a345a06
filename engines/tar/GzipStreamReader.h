#pragma once

#include "ByteSource.h"
#include "GzipAccessPoints.h"

#include <optional>
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

    // From now on, notes an access point about every `spacing` decoded bytes of the first
    // member, for accessPoints. Call before the first read.
    void recordAccessPoints(std::int64_t spacing);
    // The points noted, handed over once the whole file was read; none when it held several
    // members or too little for two stretches.
    std::optional<GzipAccessPoints> takeAccessPoints();

  private:
    void notePoint(const Bytef* callStart);
    void keepHistory(const Bytef* callStart);
    bool refill();
    void skipZeroPadding();

    ByteSource& input_;
    z_stream stream_{};
    std::vector<char> inputBuffer_;
    bool inputEnded_ = false;
    bool outputEnded_ = false;
    bool memberOpen_ = false;
    int members_ = 0;
    std::int64_t spacing_ = 0; // 0: not recording
    GzipAccessPoints points_;
    std::vector<unsigned char> history_; // the last decoded bytes before the current read
};

} // namespace vexa::tar
