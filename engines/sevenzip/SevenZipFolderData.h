#pragma once

#include "engines/sevenzip/SevenZipOpening.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// The data of the files of one folder, one file after the other, each checked against its
// CRC. Failures are ArchiveFailure: wrongPassword in an encrypted folder, otherwise
// corrupt(path of the file being read).
class SevenZipFolderData {
  public:
    SevenZipFolderData(const SevenZipOpenArchive& open, std::size_t folder,
                       const std::optional<std::string>& password);

    // Moves to the folder's substream `stream` (counted over the archive), skipping the data of
    // the files before it; streams are visited in increasing order. The skipping polls
    // `progress` for cancellation.
    void seekStream(std::size_t stream, const std::string& path, const Progress& progress);
    // The current file's data; 0 at its end, once its CRC matches.
    std::size_t read(std::uint8_t* out, std::size_t size);

  private:
    [[noreturn]] void fail() const;

    const SevenZipOpenArchive& open_;
    bool encrypted_;
    std::unique_ptr<sevenzip::FolderReader> reader_;
    std::size_t stream_ = 0;
    std::string path_;
    std::uint64_t remaining_ = 0; // of the current stream
    std::uint32_t crc_ = 0;
    bool started_ = false;
    bool checked_ = true;
};

// Whether `password` decodes the smallest encrypted folder of the archive with every CRC
// matching: the test that picks a password form before anything is written.
bool sevenZipPasswordOpensData(const SevenZipOpenArchive& open,
                               const std::optional<std::string>& password, Progress& progress);

// The password form that entry data needs: the only one, or the first that passes
// sevenZipPasswordOpensData. passwordRequired when encrypted data comes without a password;
// wrongPassword when no form opens it.
std::optional<std::string> resolveSevenZipDataPassword(const SevenZipOpenArchive& open,
                                                       Progress& progress);

} // namespace vexa
