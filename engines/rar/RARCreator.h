#pragma once

#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// The settings of a new RAR archive, written by the rar program and checked against its
// sources before it is put in place.
struct RARCreator {
    // The program to run; when absent it is looked for (locateRARExecutable).
    std::optional<std::filesystem::path> selectedExecutable;
    // Volume size in bytes; 0 writes one file. Otherwise at least 65536.
    std::int64_t splitSize = 0;
    // Absent: no encryption.
    std::optional<std::string> password;
    // Encrypt the entry names too.
    bool encryptNames = false;
    // lowestLevel to highestLevel; when absent the compress flag of create() chooses 3 or 0.
    std::optional<int> level;
    static constexpr int lowestLevel = 0;
    static constexpr int highestLevel = 5;
    // Needs a destination ending in ".sfx" and no split.
    bool selfExtracting = false;
    bool recoveryRecord = false;
    // Archives the AppleDouble sidecars too (saving a set as one archive keeps every entry).
    bool keepSidecars = false;

    // Archives the sources (files and folders, each under its own name, everything below a
    // folder except children named "._*") and returns the result: `destination`, or for a
    // split archive the first volume inside a new folder "<name> — partes" beside it (then
    // nothing is written at `destination`). The result is read back and compared with the
    // sources (paths, kinds, sizes, CRC-32) first; the destination is touched only after that
    // and never on failure or cancellation. The progress total becomes 3 × the units of the
    // sources (max(size, 1) each).
    //
    // Throws ArchiveFailure (rarCreation, emptySelection, unsupported, wrongPassword, the
    // source walk's failures, the reader's failures), the platform's errors, or
    // CancellationError.
    std::filesystem::path create(const std::vector<std::filesystem::path>& sources,
                                 const std::filesystem::path& destination, bool compress,
                                 Progress& progress) const;

    // The first volume the program wrote into `folder` for `archive` ("x.rar" gives the first
    // of "x.part1.rar", "x.part01.rar", "x.part001.rar"... in listing order), or `archive`
    // itself when there is none. Throws the platform's error when the folder cannot be listed.
    static std::filesystem::path firstVolume(const std::filesystem::path& folder,
                                             const std::filesystem::path& archive);
};

} // namespace vexa
