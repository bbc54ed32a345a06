#pragma once

#include "engines/sevenzip/SevenZipReader.h"
#include "engines/sevenzip/container/SevenZipArchive.h"
#include "platform/Progress.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// A 7z archive (all its parts) opened once through the container layer: what listing,
// extraction and the entry reader share.
struct SevenZipOpenArchive {
    std::vector<std::filesystem::path> volumes;
    std::shared_ptr<sevenzip::SevenZipArchive> archive;
    // The forms of the password that entry data may be tried with, in order: the one that
    // opened an encrypted header, otherwise every variant allowed (none without a password).
    std::vector<std::optional<std::string>> passwords;
    // One per file of the header, in header order; nothing for the root folder "." that some
    // writers store, which is no entry.
    std::vector<std::optional<SevenZipEntry>> entries;

    bool anyEncrypted() const;
    // Every folder decodes through the container layer's own coders.
    bool decodable() const;
};

// The forms of a password to try: the variants of passwordVariants unless `exact`.
std::vector<std::optional<std::string>>
sevenZipPasswordForms(const std::optional<std::string>& password, bool exact);

// Opens the parts. Failures: missingVolume for a part absent from the set, passwordRequired or
// wrongPassword for an encrypted header, unsupported7z, sevenZipFailure for damage; names are
// turned into entry paths ("./" dropped, folders ending in "/") but not validated here.
SevenZipOpenArchive openSevenZipArchive(const std::vector<std::filesystem::path>& volumes,
                                        const std::optional<std::string>& password, bool exact,
                                        Progress& progress);

} // namespace vexa
