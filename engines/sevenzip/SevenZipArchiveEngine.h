#pragma once

#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace vexa {

// The 7z engine's reading services. A multi-volume set (name.7z.001, name.7z.002, ...) is read
// as one stream of its parts. `password` opens encrypted headers and data (AES-256), tried in
// the forms of passwordVariants unless `exact`.
class SevenZipArchiveEngine : public ArchiveEngine {
  public:
    explicit SevenZipArchiveEngine(std::optional<std::string> password = std::nullopt,
                                   bool exact = false)
        : password(std::move(password)), exact(exact) {}

    std::optional<std::string> password;
    bool exact = false;

    // Format sevenZip, every part file in `volumes`, after validateEntries. A part that is
    // missing or cannot be opened fails with missingVolume carrying its file name; a later part
    // of a set (name.7z.002) with notFirstVolume; a symbolic link entry with symbolicLink; a
    // damaged file with sevenZipFailure. An encrypted header fails with passwordRequired
    // without a password and wrongPassword when no form of it opens the header; encrypted data
    // under a plain header lists without one, its entries marked isEncrypted.
    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;

    // Writes the chosen entries into a new folder under `destination`, named after the archive
    // without its ".7z" (and volume number) with the first free name ("fotos", "fotos 2", ...),
    // and returns it. Chosen paths that match nothing fail with emptySelection. Encrypted data
    // needs the password (passwordRequired); data that does not decode or fails its CRC under
    // it is wrongPassword. Nothing is left behind on failure or cancellation.
    std::filesystem::path extract(const std::filesystem::path& archive,
                                  const std::set<std::string>& paths,
                                  const std::filesystem::path& destination,
                                  Progress& progress) override;

    // Writes one entry, or a folder entry with everything below it, at exactly `destination`.
    // Fails with corrupt(path) for an unknown entry, previewTooLarge when one selected entry is
    // larger than `limit`, and conflict(name) when something already exists at `destination`.
    // `password` is used as the engine's is, exactly when `flag` is set.
    void extractPayload(const ArchiveItem& item, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit, std::optional<std::string> password,
                        bool flag);

    // Wipes the keys derived from passwords, and those passwords, which the engine keeps
    // between operations so that the reads and edits of one archive derive each key once.
    static void forgetDerivedKeys();

    bool operator==(const SevenZipArchiveEngine& other) const {
        return password == other.password && exact == other.exact;
    }
};

} // namespace vexa
