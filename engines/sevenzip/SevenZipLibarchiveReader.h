#pragma once

#include "engines/sevenzip/SevenZipReader.h"

namespace vexa {

// One pass over a 7z archive (all its parts) through libarchive, for the unencrypted archives
// whose coders the container layer lacks (PPMd, BCJ2, Deflate64). Use it on one thread: it sets
// that thread's locale to UTF-8 for its lifetime so that entry names read the same whatever
// the process locale. Failures as SevenZipReader's.
class SevenZipLibarchiveReader {
  public:
    SevenZipLibarchiveReader(const std::vector<std::filesystem::path>& volumes, Progress& progress);
    ~SevenZipLibarchiveReader();
    SevenZipLibarchiveReader(const SevenZipLibarchiveReader&) = delete;
    SevenZipLibarchiveReader& operator=(const SevenZipLibarchiveReader&) = delete;

    std::optional<SevenZipEntry> next();
    std::size_t read(void* buffer, std::size_t size);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa
