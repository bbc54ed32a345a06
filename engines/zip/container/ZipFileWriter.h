#pragma once

#include "engines/zip/container/ZipHandle.h"

#include <cstdint>
#include <memory>

namespace vexa {

// Writer of one new ZIP archive or split set. Life: create() → openFile(path, diskSize) →
// getZipHandle → entryWriteOpen / entryWrite / entryClose (or entryWriteClose) per entry →
// close() (writes the central directory) → destruction. Destroying a writer that is still open
// closes it first (errors ignored). Calls answer zipstatus codes; a failed open, write or close
// of the output file throws its PlatformError.
class ZipFileWriter {
  public:
    // A new writer, or null when it cannot be allocated.
    static std::unique_ptr<ZipFileWriter> create();
    ~ZipFileWriter();
    ZipFileWriter(const ZipFileWriter&) = delete;
    ZipFileWriter& operator=(const ZipFileWriter&) = delete;

    // Creates (or truncates) the archive at `path` (UTF-8). diskSize 0 writes one file; otherwise
    // a split set of parts of exactly diskSize bytes each (the last one shorter): the parts are
    // named like `path` with the extension ".z01", ".z02", … and the last one takes `path`
    // itself, the first starts with the split marker, and no header is cut between two parts.
    // diskSize below 65536 (other than 0) answers param. A set that ends up in one part is an
    // ordinary archive. Throws PlatformError when the file cannot be created.
    int openFile(const char* path, int64_t diskSize);
    // The archive handle; exist when no archive is open.
    int getZipHandle(ZipHandle** zip);
    // Ends an entry still open, writes the central directory and end records and closes the
    // file. exist when nothing is open.
    int close();

  private:
    ZipFileWriter() = default;
    std::unique_ptr<ZipHandle> zip_;
};

} // namespace vexa
