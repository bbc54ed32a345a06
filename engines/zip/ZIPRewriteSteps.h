#pragma once

#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPBackgroundCopy.h"
#include "engines/zip/ZIPSourceEntry.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The steps of ZIPArchiveEngine::rewrite: copying the kept entries and checking what was written.
namespace vexa::ziprewrite {

// What the new archive must say of one entry, in its order.
struct PlannedEntry {
    std::uint64_t offset = 0; // of its local header in the new archive
    bool added = false;       // a new entry: only its name is known beforehand
    // A kept entry: the values of its record in the archive.
    std::uint32_t crc = 0;
    std::int64_t compressedSize = 0;
    std::int64_t uncompressedSize = 0;
    std::uint16_t method = 0;
    std::uint16_t aesVersion = 0;
    bool encrypted = false;
    // Checked through the new archive: added entries are read and decoded, kept ones given a
    // new header are found through it.
    bool checkData = false;
};

// The name of a kept entry in the new archive.
const std::string& newName(const ArchiveItem& entry,
                           const std::map<std::string, std::string>& renames);

// Appends `kept` (in the archive's order) to `writer`, after the bytes in front of the first
// entry (a self-extracting stub). With `copy` (a one-file archive), each entry that keeps its
// name is copied exactly as it lies, local header and descriptor included, and runs of such
// entries that follow one another in the file are copied as one range by the kernel; a renamed
// entry gets a new local header before its stored bytes, padded so that the data keeps its place
// within a page only where a megabyte or more is copied after it. The bytes are left to `copy`,
// whose finish() completes the new archive. A split set goes through the reader instead, in
// pieces of `bufferSize` bytes. Each entry's plan is appended to `planned`.
void copyKeptEntries(const std::filesystem::path& archive, ZIPBackgroundCopy* copy,
                     ZIPReader& reader, ZIPWriter& writer, const std::vector<ArchiveItem>& kept,
                     const std::map<std::string, std::string>& renames, Progress& progress,
                     std::vector<PlannedEntry>& planned, int bufferSize);

// Checks the written archive against the plan without listing it anew: every record holds the
// planned name, place and values; new and re-headed entries are read through; the extents are
// checked as a listing checks them. Gives the listing of the archive as it will lie at `target`.
ArchiveSummary readBack(const ZIPArchiveEngine& engine, const std::filesystem::path& written,
                        const std::filesystem::path& target, const std::vector<ArchiveItem>& kept,
                        const std::map<std::string, std::string>& renames,
                        const std::vector<ZIPSourceEntry>& added,
                        const std::vector<PlannedEntry>& planned, Progress& progress);

} // namespace vexa::ziprewrite
