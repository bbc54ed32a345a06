#pragma once

#include "engines/zip/container/ZipFileWriter.h"
#include "engines/zip/container/ZipHandle.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// Owns one container writer on one new archive (or split set) for the length of one operation.
// Destruction without close() still ends the file, which then lies in a temporary folder that
// its owner removes.
class ZIPWriter {
  public:
    // Creates the file at `archive` for writing; diskSize 0 writes one file, otherwise parts of
    // diskSize bytes. A writer that cannot be allocated throws PlatformError(fileWriteUnknown);
    // container failures throw through ZIPArchiveEngine::check.
    ZIPWriter(const std::filesystem::path& archive, std::int64_t diskSize);
    ZIPWriter(const ZIPWriter&) = delete;
    ZIPWriter& operator=(const ZIPWriter&) = delete;

    // Starts a new entry named `name` described by `header`: deflate level 6 when `compress`,
    // else stored; a folder is never encrypted. `password` holds NUL-terminated bytes.
    void openEntry(const std::string& name, ZipFileInfo& header, bool compress, bool isDirectory,
                   const std::optional<std::string>& password);
    // Starts an entry whose data will be passed as stored (compressed and possibly encrypted)
    // bytes; the header's CRC-32, sizes and encryption fields are written as they are.
    void openRawEntry(const std::string& name, ZipFileInfo& header);
    // Starts a file entry whose data will be passed as a normal write would store it: deflated
    // at level 6 when `compress` and, when the header asks for AES, encrypted with salt and
    // code; the CRC-32 and sizes given when it is closed complete the header.
    void openPrecompressedEntry(const std::string& name, ZipFileInfo& header, bool compress);
    // Writes the central directory and closes the file, once; later calls do nothing.
    void close();

    std::unique_ptr<ZipFileWriter> handle;
    // The archive handle of `handle`, owned by it; every entry call goes here.
    ZipHandle* zip = nullptr;
    bool closed = false;
};

} // namespace vexa
