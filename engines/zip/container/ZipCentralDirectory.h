#pragma once

#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/ZipRecords.h"

#include <cstdint>

namespace vexa {

// The reading side's index: finds the end records of an archive and walks its central
// directory one record at a time, never trusting a count, size or offset beyond what the file
// and the enclosing record allow.
class ZipCentralDirectory {
  public:
    explicit ZipCentralDirectory(SplitInputStream& input) : input_(input) {}

    // Locates and checks the end records; sets the input's last part and bias.
    int open();
    uint64_t entryCount() const { return end_.entries; }
    uint32_t diskWithCd() const { return end_.cdDisk; }

    int gotoFirstEntry();
    int gotoNextEntry();
    // Null before the first successful move and after the end of the list.
    const ziprecords::CentralEntry* current() const { return valid_ ? &entry_ : nullptr; }

  private:
    int readRecordAtCursor();
    int findEnd(uint64_t* endPosition);
    int readZip64End(uint64_t endPosition, uint64_t* recordStart);

    SplitInputStream& input_;
    ziprecords::EndRecord end_;
    ziprecords::CentralEntry entry_;
    bool valid_ = false;
    uint64_t index_ = 0;
    uint64_t consumed_ = 0; // bytes of the directory read so far
    uint32_t cursorDisk_ = 0;
    uint64_t cursorOffset_ = 0;
};

} // namespace vexa
