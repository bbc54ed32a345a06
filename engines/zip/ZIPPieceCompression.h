#pragma once

#include "engines/codec/Deflate.h"
#include "platform/FileOperations.h"
#include "platform/Progress.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// Growable bytes that are never zero-filled.
class PieceBytes {
  public:
    void reserve(std::size_t capacity);
    void append(const std::uint8_t* data, std::size_t length);
    std::uint8_t* data() { return data_.get(); }
    std::size_t size() const { return size_; }

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// One source file of a new archive as its pieces share it.
struct PieceSource {
    std::string path; // the entry's path, named in failures
    std::filesystem::path location;
    std::int64_t size = 0; // as found when the entry was planned
    bool compress = false;
    // Password bytes for a file compressed in one piece, whose worker also encrypts it.
    const std::string* password = nullptr;
    std::shared_ptr<Progress> child; // counts the bytes read
    // A file cut into several pieces is opened once and read at offsets by each of them.
    files::FileDescriptor descriptor;
    bool cut = false;
};

// A stretch of one file compressed on its own: the whole file, or one piece of a file cut into
// pieces that join into one deflate stream. Every piece but the last ends on a byte boundary
// without ending the stream; each after the first is primed with the 32 KiB before it.
struct Piece {
    std::shared_ptr<PieceSource> source;
    std::int64_t offset = 0;
    std::int64_t length = 0; // bytes of this piece; the last one reads to the file's end
    bool last = true;

    PieceBytes bytes; // stored bytes (deflated or not; encrypted only for a whole file)
    std::uint32_t crc = 0;
    std::int64_t consumed = 0; // bytes read
};

// What a worker keeps from piece to piece.
class PieceCompressor {
  public:
    // `bufferSize` bytes are read at a time; `progress` (the operation's) and `stop` are polled
    // before every read.
    PieceCompressor(int bufferSize, const Progress& progress, const std::atomic<bool>& stop);

    // Fills the piece's results. A source that is not the size it was planned with fails with
    // corrupt naming the entry; failures to open or read it with the platform's errors.
    void compress(Piece& piece);

  private:
    void deflate(Piece& piece, const std::uint8_t* data, std::size_t length,
                 codec::Deflater::Flush flush);
    void readWindow(const Piece& piece, int fd);

    std::size_t bufferSize_;
    const Progress& progress_;
    const std::atomic<bool>& stop_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::unique_ptr<std::uint8_t[]> scratch_;
    std::unique_ptr<std::uint8_t[]> window_;
    std::optional<codec::Deflater> deflater_;
};

// The failure of a source that changed while it was read.
[[noreturn]] void throwSourceChanged(const std::string& path);

} // namespace vexa
