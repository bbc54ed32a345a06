#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>
#include <zstd.h>

namespace vexa::tar {

// Compresses one stream into an open file as a single zstd frame with a content checksum,
// through fixed buffers, with up to one worker per active processor within a fixed memory
// budget. Write failures throw the
// platform's errors; a failure of the library throws ArchiveFailure::tarFailure.
class ZstdStreamWriter {
  public:
    // `level` is zstd's own compression level; `descriptor` stays owned by the caller.
    ZstdStreamWriter(int descriptor, std::filesystem::path location, int level);
    ~ZstdStreamWriter();
    ZstdStreamWriter(const ZstdStreamWriter&) = delete;
    ZstdStreamWriter& operator=(const ZstdStreamWriter&) = delete;

    void write(const void* data, std::size_t size);
    // Ends the frame and writes what is left; nothing may be written afterwards.
    void finish();
    // The bytes written to the file so far.
    std::int64_t written() const { return written_; }

  private:
    void drain(ZSTD_inBuffer& input, ZSTD_EndDirective directive);

    ZSTD_CCtx* context_ = nullptr;
    int descriptor_;
    std::filesystem::path location_;
    std::vector<char> output_;
    std::int64_t written_ = 0;
    bool finished_ = false;
};

} // namespace vexa::tar
