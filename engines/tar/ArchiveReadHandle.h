#pragma once

#include "ByteSource.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <sys/types.h>
#include <vector>

struct archive;
struct archive_entry;

namespace vexa::tar {

class FileByteSource;

// One libarchive read handle over a ByteSource, released with the object. Failures of the
// library become ArchiveFailure::tarFailure; a failure thrown by the source while the library
// reads (cancellation, an I/O error, a decoder's damage) is passed on unchanged.
class ArchiveReadHandle {
  public:
    enum class Content {
        tar, // a TAR archive, possibly empty
        raw, // a single bzip2 or xz stream without any container
    };

    // `decompress` lets libarchive recognise bzip2 and xz by their signatures; without
    // it the source must already hold the decoded bytes. `seekable`, when given, is the same
    // object as `source` and lets the library skip entry data without reading it.
    ArchiveReadHandle(ByteSource& source, Content content, bool decompress,
                      FileByteSource* seekable = nullptr);
    ~ArchiveReadHandle();
    ArchiveReadHandle(const ArchiveReadHandle&) = delete;
    ArchiveReadHandle& operator=(const ArchiveReadHandle&) = delete;

    // The next entry, owned by the handle until the next call; null at the end.
    archive_entry* next();
    // The current entry's data; 0 at its end.
    std::size_t readData(char* buffer, std::size_t capacity);
    void skipData();

    // Keeping the header bytes of one entry, for a source that lends its blocks: begin before
    // next() and finish after it. finishCapture gives the CRC-32 of the bytes consumed in
    // between and where they began in the decoded stream; none when they could not be kept.
    // Captures need the bytes before the block being read, kept from the first block on; a
    // reading that never captures stops keeping them.
    void dropHistory() { keepsHistory_ = false; }
    void startCapture();
    std::optional<std::uint32_t> finishCapture(std::int64_t& start);
    // How far the decoded stream has been consumed.
    std::int64_t position() const;

  private:
    static ssize_t readCallback(archive*, void* self, const void** block);
    static std::int64_t skipCallback(archive*, void* self, std::int64_t request);
    [[noreturn]] void fail();
    bool compressed() const;

    archive* handle_ = nullptr;
    Content content_;
    ByteSource& source_;
    // Decoded blocks are handed to the library where they lie, without a copy.
    LendingSource* lender_;
    FileByteSource* seekable_;
    std::vector<char> block_;
    std::exception_ptr sourceFailure_;
    bool sawEntry_ = false;
    // The block lent last and where it lies in the stream, with the tail of the ones before.
    void keepLentBlock();
    const char* lent_ = nullptr;
    std::size_t lentSize_ = 0;
    std::int64_t lentStart_ = 0;
    std::vector<char> history_; // the bytes just before lentStart_
    bool capturing_ = false;
    bool captureBroken_ = false;
    bool keepsHistory_ = true;
    std::int64_t captureStart_ = 0;
    std::vector<char> captured_; // from captureStart_ up to lentStart_
};

} // namespace vexa::tar
