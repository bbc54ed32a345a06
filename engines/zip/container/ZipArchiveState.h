#pragma once

#include "engines/zip/container/SplitFileStream.h"
#include "engines/zip/container/ZipCentralDirectory.h"
#include "engines/zip/container/ZipEntryReader.h"
#include "engines/zip/container/ZipEntryWriter.h"

#include <memory>
#include <string>
#include <vector>

namespace vexa {

// Everything behind one archive handle: the reading side (parts, central directory, the entry
// being read) or the writing side (parts, the entry being written, the records of the central
// directory to come).
class ZipArchiveState {
  public:
    enum class Mode { reading, writing };

    explicit ZipArchiveState(Mode mode) : mode_(mode) {}
    Mode mode() const { return mode_; }

    int openForReading(const std::string& path);
    int openForWriting(const std::string& path, int64_t diskSize);
    // Writing: ends an entry still open and writes the central directory.
    int finishWriting();

    SplitInputStream input;
    std::unique_ptr<ZipCentralDirectory> directory;
    std::unique_ptr<ZipEntryReader> entryReader;

    SplitOutputStream output;
    std::unique_ptr<ZipEntryWriter> entryWriter;
    std::vector<CentralRecord> records;
    std::string comment;
    uint32_t diskWithCd = 0;
    bool finished = false;

  private:
    Mode mode_;
};

} // namespace vexa
