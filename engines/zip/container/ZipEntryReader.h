#pragma once

#include "engines/codec/Inflate.h"
#include "engines/zip/container/PkwareCrypt.h"
#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/WinZipAes.h"
#include "engines/zip/container/ZipRecords.h"

#include <memory>
#include <vector>

namespace vexa {

// Reads one entry's data: stored bytes in raw mode, else decrypted (traditional PKWARE or
// WinZip AES) and inflated. It takes exactly the entry's compressed size from the archive and
// holds one buffer: the local header and the start of the data arrive in a single read, small
// entries whole, and deflated data is inflated straight from it.
class ZipEntryReader {
  public:
    explicit ZipEntryReader(SplitInputStream& input) : input_(input) {}

    int open(const ziprecords::CentralEntry& entry, bool raw, const char* password);
    int32_t read(void* buffer, int32_t length);
    // The stored bytes at `position` of an open entry read in raw mode, or stored without
    // encryption, in a one-part archive; answers their count (short only at the data's end) and
    // leaves read's position alone, so several threads may call it at once. support for any
    // other entry.
    int64_t readAt(uint64_t position, void* buffer, size_t length) const;
    // Checks the AES authentication code when the whole entry was read.
    int close();
    bool isOpen() const { return open_; }

  private:
    // Reads the local header with as much of the stored bytes as the buffer holds.
    int locateData(const ziprecords::CentralEntry& entry);
    // The next block of stored bytes into the (empty) buffer.
    int fill();
    // Exactly `length` stored bytes that are not data (encryption header, authentication code).
    int takeExact(uint8_t* out, size_t length);
    // The next decrypted data bytes, left in the buffer.
    int takeDataInPlace(const uint8_t** piece, size_t* length);
    int decrypt(uint8_t* data, size_t length);
    int64_t readStored(uint8_t* out, size_t length); // decrypted stored bytes
    int32_t readInflated(uint8_t* out, size_t length);

    SplitInputStream& input_;
    bool open_ = false;
    bool deflated_ = false;
    bool finished_ = false;
    uint32_t disk_ = 0; // where the next stored byte not yet in the buffer lies
    uint64_t offset_ = 0;
    uint64_t unfetched_ = 0;   // stored bytes not yet read from the archive
    uint64_t dataLeft_ = 0;    // data bytes (between encryption header and trailer) not yet used
    bool positional_ = false;  // readAt may serve this entry
    uint64_t storedStart_ = 0; // where the stored bytes begin in a one-part archive's file
    uint64_t storedLength_ = 0;
    std::vector<uint8_t> buffer_;
    size_t pendingStart_ = 0; // stored bytes read but not yet used: buffer_[start, end)
    size_t pendingEnd_ = 0;
    std::unique_ptr<PkwareDecryptor> pkware_;
    std::unique_ptr<WinZipAes> aes_;
    std::unique_ptr<codec::InflateDecoder> inflater_;
    const uint8_t* inflateInput_ = nullptr; // data taken in place, not yet inflated
    size_t inflateAvailable_ = 0;
};

} // namespace vexa
