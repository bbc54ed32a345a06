#pragma once

#include "engines/zip/container/DeflateStream.h"
#include "engines/zip/container/PkwareCrypt.h"
#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/WinZipAes.h"
#include "engines/zip/container/ZipRecords.h"

#include <memory>
#include <vector>

namespace vexa {

// Reads one entry's data: stored bytes in raw mode, else decrypted (traditional PKWARE or
// WinZip AES) and inflated. It takes exactly the entry's compressed size from the archive and
// holds one input buffer, used only when the data has to be inflated.
class ZipEntryReader {
  public:
    explicit ZipEntryReader(SplitInputStream& input) : input_(input) {}

    int open(const ziprecords::CentralEntry& entry, bool raw, const char* password);
    int32_t read(void* buffer, int32_t length);
    // Checks the AES authentication code when the whole entry was read.
    int close();
    bool isOpen() const { return open_; }

  private:
    int locateData(const ziprecords::CentralEntry& entry, uint64_t* dataDisk, uint64_t* dataOffset);
    int64_t readStored(uint8_t* out, size_t length); // decrypted stored bytes
    int32_t readInflated(uint8_t* out, size_t length);

    SplitInputStream& input_;
    bool open_ = false;
    bool raw_ = false;
    bool deflated_ = false;
    bool finished_ = false;
    uint32_t disk_ = 0; // where the next stored byte is read
    uint64_t offset_ = 0;
    uint64_t remaining_ = 0; // stored bytes of the data still to read (after any header)
    std::unique_ptr<PkwareDecryptor> pkware_;
    std::unique_ptr<WinZipAes> aes_;
    std::unique_ptr<Inflater> inflater_;
    std::vector<uint8_t> inputBuffer_;
};

} // namespace vexa
