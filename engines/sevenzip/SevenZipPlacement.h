#pragma once

#include "core/archive/ArchiveItem.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/SevenZipArchiveWriter.h"
#include "platform/Progress.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Steps shared by the 7z writer's operations.
namespace vexa {

// Level used when the entries of a compressed archive are written again (edits and saving a set
// as one file).
inline constexpr int kSevenZipRewriteLevel = 6;

// The level at which the entries of the archive in `volumes`, listed as `entries`, are written
// again: 0 (stored) when its files are no smaller than its content, as in a stored archive,
// else kSevenZipRewriteLevel.
int sevenZipRewriteLevel(const std::vector<std::filesystem::path>& volumes,
                         const std::vector<ArchiveItem>& entries);

// Throws sevenZipFailure with `message` unless `actual` holds exactly the paths of `kept` and
// `added`, each with the same kind, the kept ones also with the same size and CRC-32, the added
// ones equal to their files on disk (verifyRARAgainstSources).
void checkSevenZipReadBack(const ReadBackEntries& actual, const ReadBackEntries& kept,
                           const SourceEntryMap& added, Progress& progress, const char* message);

// How an archive is protected, so that what is written from it stays so.
struct SevenZipProtection {
    // The form of the password that opens it; nothing for an archive without encryption.
    std::optional<std::string> password;
    bool encryptHeaders = false;
};

// Opens the archive in `volumes` with `password` (its variants tried) to see whether its data
// and its header are encrypted. Throws the reader's failures.
SevenZipProtection sevenZipProtectionOf(const std::vector<std::filesystem::path>& volumes,
                                        const std::optional<std::string>& password,
                                        Progress& progress);

} // namespace vexa
