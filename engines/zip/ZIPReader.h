#pragma once

#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipHandle.h"

#include <filesystem>
#include <memory>
#include <string>

namespace vexa {

// Owns one container reader on one archive (or split set) for the length of one operation;
// readers are never shared or cached. Destruction closes the archive and every part it opened.
class ZIPReader {
  public:
    // Opens the archive with recovery off, so a damaged central directory fails instead of being
    // rebuilt from local headers. Container failures throw through ZIPArchiveEngine::check; a
    // reader that cannot be allocated throws PlatformError(fileReadUnknown).
    explicit ZIPReader(const std::filesystem::path& archive);
    ZIPReader(const ZIPReader&) = delete;
    ZIPReader& operator=(const ZIPReader&) = delete;

    // The current entry's record, read through ZIPArchiveEngine::check; a missing record fails
    // with corrupt("ZIP"). Valid until the reader moves.
    const ZipFileInfo& currentInfo();
    // Moves forward from the current entry, which the last positioning call answered with
    // `status`, until the decoded name equals `path`. A non-zero status fails through
    // ZIPArchiveEngine::check, so running off the end is corrupt("ZIP (código -100)").
    void moveForwardTo(int& status, const std::string& path);

    std::unique_ptr<ZipFileReader> handle;
    // The archive handle of `handle`, owned by it.
    ZipHandle* zip = nullptr;
};

} // namespace vexa
