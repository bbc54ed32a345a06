#pragma once

#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// Reads and extracts RAR archives (also multi-volume sets and self-extracting files) through
// the RAR bridge. Only one RAR archive is open in the process at a time: every operation
// releases its reader before it opens the next one.
//
// With `exact` false and a password whose Unicode forms differ (NFC, NFD, as typed), the
// operations that take the flag try each form in turn and move on only on
// ArchiveFailure::wrongPassword.
class RARArchiveEngine : public ArchiveEngine {
  public:
    explicit RARArchiveEngine(std::optional<std::string> password = std::nullopt,
                              bool exact = false)
        : password(std::move(password)), exact(exact) {}

    std::optional<std::string> password;
    bool exact = false;

    // Every entry once (a file spanning volumes is listed from its first volume, with
    // compressedSize -1), validated; `volumes` is empty for a single-volume archive.
    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;

    // Writes the selected entries into a new folder under `destination` named after the archive
    // (the first free one of "name", "name 2", "name 3"...) and returns it. Nothing is left
    // behind on failure or cancellation. Unselected entries are tested too, so a damaged
    // archive fails the extraction.
    std::filesystem::path extract(const std::filesystem::path& archive,
                                  const std::set<std::string>& paths,
                                  const std::filesystem::path& destination,
                                  Progress& progress) override;

    // The password that opens the archive (one of the candidates), or none when the archive
    // needs none. Throws passwordRequired when the archive is encrypted and no password given.
    static std::optional<std::string> verifyPassword(const std::filesystem::path& archive,
                                                     Progress& progress,
                                                     const std::optional<std::string>& password,
                                                     bool exact);

    // Paths of the file entries whose test fails (bad data or CRC), in archive order; the walk
    // goes on after each. The password is used exactly as given.
    static std::vector<std::string> damagedEntries(const std::filesystem::path& archive,
                                                   Progress& progress,
                                                   const std::optional<std::string>& password);

    // Entry path -> (the listed item, zlib CRC-32 of its data; none for folders). Advances the
    // progress by the bytes read plus one per empty entry; the caller sets the total.
    using EntryChecksums =
        std::map<std::string, std::pair<ArchiveItem, std::optional<std::uint32_t>>>;
    static EntryChecksums entryChecksums(const std::filesystem::path& archive, Progress& progress,
                                         const std::optional<std::string>& password, bool exact);

    // Puts one entry (a file, or a folder with everything under it) exactly at `result`, which
    // must not exist yet. With a limit, a selection larger than it fails with previewTooLarge.
    static void extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                             const std::filesystem::path& result, Progress& progress,
                             std::optional<std::int64_t> limit,
                             const std::optional<std::string>& password, bool exact);

    // The one extraction pass: streams each selected entry into the file `destinationOf` gives
    // for it, restoring permissions and modification time, and tests every other entry. A
    // selected entry that differs from its listing or is not found fails with archiveChanged.
    // `everything` says that the selection is the whole listing.
    using DestinationMapping = std::function<std::filesystem::path(const ArchiveItem&)>;
    static void writeEntries(const std::filesystem::path& archive,
                             const std::vector<ArchiveItem>& selected, Progress& progress,
                             const DestinationMapping& destinationOf,
                             const std::optional<std::string>& password, bool exact,
                             bool everything = false);
};

// True when the archive encrypts its headers, so its names cannot be read without a password.
bool rarArchiveHidesNames(const std::filesystem::path& archive);

// An empty request selects everything; otherwise the path itself or anything below a requested
// folder ("docs" and "docs/" both select "docs/a.txt").
bool isSelectedPath(const std::string& path, const std::set<std::string>& requested);

} // namespace vexa
