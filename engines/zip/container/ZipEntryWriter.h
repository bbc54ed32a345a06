#pragma once

#include "engines/codec/Deflate.h"
#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/WinZipAes.h"
#include "engines/zip/container/ZipFileInfo.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexa {

// What the central directory will say about an entry once its data is written.
struct CentralRecord {
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flag = 0;
    uint16_t method = 0; // as stored: 99 for WinZip AES
    uint32_t dosDate = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint32_t disk = 0;
    uint64_t offset = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    bool forceZip64 = false;
    std::string name;
    std::string extra; // fields after the ZIP64 one, which is made when the record is written
    std::string comment;
};

// Writes one entry: local header, data (deflated and AES-encrypted as asked, or raw bytes) and,
// where the header could not be completed in place, a data descriptor.
class ZipEntryWriter {
  public:
    explicit ZipEntryWriter(SplitOutputStream& output) : output_(output) {}

    // `precompressed`: the data comes already deflated (at `level`) and, when the record asks
    // for AES, already encrypted, as a normal write would have made it; the header is laid out
    // and completed as for a normal write, from the values closeRaw gives.
    int open(const ZipFileInfo& info, int16_t level, bool raw, const char* password,
             bool precompressed = false);
    int32_t write(const void* buffer, int32_t length);
    // Raw entries only: `length` stored bytes that another descriptor writes (SplitOutputStream::
    // skip).
    int skipRaw(uint64_t length);
    int close();
    int closeRaw(uint32_t crc, int64_t compressedSize, int64_t uncompressedSize);
    bool isOpen() const { return open_; }
    bool isRaw() const { return raw_; }
    const CentralRecord& record() const { return record_; }

  private:
    int emit(const uint8_t* data, size_t length); // encrypts when needed, counts, writes
    int deflate(const uint8_t* data, size_t length, bool finish); // through emit
    int finish(uint32_t crc, uint64_t compressedSize, uint64_t uncompressedSize);

    SplitOutputStream& output_;
    CentralRecord record_;
    bool open_ = false;
    bool raw_ = false;
    bool descriptor_ = false;
    bool localZip64_ = false;
    uint16_t aesVersion_ = 0;
    size_t nameLength_ = 0;
    uint32_t crc_ = 0;
    uint64_t written_ = 0;  // stored bytes after the local header
    uint64_t consumed_ = 0; // bytes given by the caller
    std::unique_ptr<codec::Deflater> deflater_;
    std::unique_ptr<WinZipAes> aes_;
    std::vector<uint8_t> scratch_;
};

// Writes the central directory and the end records (ZIP64 ones when a count, size, offset or
// part number needs them); `diskWithCd` receives the part where the directory starts.
int writeCentralDirectory(SplitOutputStream& output, const std::vector<CentralRecord>& records,
                          const std::string& comment, uint32_t* diskWithCd);

} // namespace vexa
