#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexa::tar {

// The CRC-32 of every source file as it is on disk now, worked out on a few threads of their
// own while the caller reads the written archive back. Each file's bytes are added to the
// completed units as they are read.
class SourceChecksums {
  public:
    SourceChecksums(const SourceEntryMap& sources, Progress& progress);
    // Stops after the files being read.
    ~SourceChecksums();
    SourceChecksums(const SourceChecksums&) = delete;
    SourceChecksums& operator=(const SourceChecksums&) = delete;

    // Waits for the file at `path` (a file of the sources); throws what reading it threw.
    std::uint32_t crcOf(const std::string& path);

  private:
    struct Result {
        bool done = false;
        std::uint32_t crc = 0;
        std::exception_ptr failure;
    };
    void work();

    std::vector<const SourceEntryMap::value_type*> files_;
    std::map<std::string, Result> results_;
    Progress& progress_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t next_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Checks every source against the archive read back as verifyRARAgainstSources does, with the
// files' checksums taken from `checksums`.
void verifyAgainstSources(const ReadBackEntries& archived, const SourceEntryMap& sources,
                          SourceChecksums& checksums, Progress& progress);

} // namespace vexa::tar
