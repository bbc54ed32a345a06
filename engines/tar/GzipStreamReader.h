#pragma once

#include "ByteSource.h"
#include "DecodedSource.h"
#include "GzipAccessPoints.h"
#include "engines/codec/InflateGzipFile.h"

#include <memory>
#include <optional>

namespace vexa::tar {

// Decodes a gzip file of one or more members (as `cat a.gz b.gz` makes) into one stream; zero
// bytes after the last member are padding. Damaged or truncated data throws
// ArchiveFailure::tarFailure.
class GzipStreamReader : public ByteSource {
  public:
    explicit GzipStreamReader(ByteSource& input);

    std::size_t read(char* buffer, std::size_t capacity) override;

    // From now on, notes an access point about every `spacing` decoded bytes of the first
    // member, for accessPoints. Call before the first read.
    void recordAccessPoints(std::int64_t spacing);
    // The points noted, handed over once the whole file was read; none when it held several
    // members or too little for two stretches.
    std::optional<GzipAccessPoints> takeAccessPoints();

  private:
    SourceStream input_;
    std::unique_ptr<codec::GzipFileStream> stream_;
};

} // namespace vexa::tar
