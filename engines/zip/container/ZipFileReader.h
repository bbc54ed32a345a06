#pragma once

#include "engines/zip/container/ZipFileInfo.h"
#include "engines/zip/container/ZipHandle.h"

#include <memory>
#include <string>

namespace vexa {

// Reader of one ZIP archive or split set. Life: create() → setRecover(false) → openFile(path) →
// getZipHandle → navigation and entry reads → destruction (which closes the archive and every
// part file it opened). Calls answer zipstatus codes and never throw.
class ZipFileReader {
  public:
    // A new reader, or null when it cannot be allocated.
    static std::unique_ptr<ZipFileReader> create();
    ~ZipFileReader();
    ZipFileReader(const ZipFileReader&) = delete;
    ZipFileReader& operator=(const ZipFileReader&) = delete;

    // Recovery (a scan of local headers when the central directory is damaged) is not offered:
    // false answers ok, true answers support.
    int setRecover(bool recover);
    // Opens the archive at `path` (UTF-8). For a split set this is the ".zip" part; the other
    // parts (".z01", ".z02", … beside it) are opened when their bytes are needed. Answers open
    // when the file cannot be opened, format when no valid end record and central directory are
    // found, param when a file is already open.
    int openFile(const char* path);
    // The archive handle; exist when no archive is open.
    int getZipHandle(ZipHandle** zip);

    // The same as the handle's calls of these names.
    int gotoFirstEntry();
    int gotoNextEntry();
    int entryGetInfo(const ZipFileInfo** info);
    int entryIsDir();

    int close();

  private:
    ZipFileReader() = default;
    std::unique_ptr<ZipHandle> zip_;
};

} // namespace vexa
