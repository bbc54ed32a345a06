#pragma once

#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/ZipRecords.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// The reading side's index: finds the end records of an archive and walks its central
// directory one record at a time to the directory's last byte, never trusting a count, size or
// offset beyond what the file and the enclosing record allow.
class ZipCentralDirectory {
  public:
    explicit ZipCentralDirectory(SplitInputStream& input) : input_(input) {}

    // Locates and checks the end records; sets the input's last part and bias.
    int open();
    uint64_t entryCount() const { return end_.entries; }
    // The count came from a ZIP64 end record, so it is not a count modulo 65,536.
    bool hasZip64End() const { return end_.zip64; }
    uint32_t diskWithCd() const { return end_.cdDisk; }
    // The archive comment of the end record (cut where the file ends).
    const std::string& comment() const { return comment_; }

    // Where `offset` within part `disk` lies when the parts are laid end to end, counted as the
    // records count offsets; format for a part beyond the set.
    int setPosition(uint32_t disk, uint64_t offset, uint64_t* position);
    int directoryPosition(uint64_t* position) {
        return setPosition(end_.cdDisk, end_.cdOffset, position);
    }

    int gotoFirstEntry();
    int gotoNextEntry();
    // Null before the first successful move and after the end of the list.
    const ziprecords::CentralEntry* current() const { return valid_ ? &entry_ : nullptr; }

  private:
    int readRecordAtCursor();
    // Makes `length` unread directory bytes available at block_[blockStart_]; format when the
    // directory (as its size declares it) or the file ends first.
    int need(size_t length);
    int findEnd(uint64_t* endPosition);
    int readZip64End(uint64_t endPosition, uint64_t* recordStart);

    SplitInputStream& input_;
    ziprecords::EndRecord end_;
    std::string comment_;
    ziprecords::CentralEntry entry_;
    bool valid_ = false;
    uint64_t index_ = 0;
    // The directory is read in large blocks: unparsed bytes are block_[blockStart_, blockEnd_),
    // and the part and offset where the block ends is where the next block begins.
    std::vector<uint8_t> block_;
    size_t blockStart_ = 0;
    size_t blockEnd_ = 0;
    uint64_t fetched_ = 0; // bytes of the directory read from the file so far
    uint32_t fetchDisk_ = 0;
    uint64_t fetchOffset_ = 0;
    std::vector<uint64_t> partStarts_; // set positions of parts 0, 1, … as far as asked for
};

} // namespace vexa
