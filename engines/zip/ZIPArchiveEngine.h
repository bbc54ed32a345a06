#pragma once

#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vexa {

class ZIPReader;

// Lists and extracts ZIP archives (split sets, ZIP64, ZipCrypto and WinZip AES entries, Java and
// Android packages) through the ZIP container layer. A plain value: the fields never change
// after construction; an operation that needs a resolved password works on a copy.
class ZIPArchiveEngine : public ArchiveEngine {
  public:
    explicit ZIPArchiveEngine(std::optional<std::string> password = std::nullopt);

    // The password as the user typed it.
    std::optional<std::string> password;
    // Volume size for writing split archives; 0 writes one file. Reading ignores it.
    std::int64_t splitSize = 0;
    // The password candidate (NUL-terminated bytes, one of zipPasswordCandidates) that this
    // archive accepts; set only on the copy that resolvePassword returns.
    std::optional<std::string> resolved;
    // Bytes of the buffer through which entry data is streamed.
    int bufferSize = 262144;

    bool operator==(const ZIPArchiveEngine& other) const;

    // Every central-directory entry in its order, checked by the ZIP path rule and checkListing
    // (case-sensitive for Java and Android packages). Refuses symbolic links, methods other than
    // store and deflate, and an .aar that is not a ZIP file (appleArchive). `volumes` holds the
    // parts of a split set (.z01, .z02, … then the archive itself), each a readable regular file.
    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;

    // Writes the selected entries (selectEntries) into a new folder under `destination` named
    // after the archive (availableURL) and returns it. The entries are first written into a
    // ".vexa-extract-<UUID>" staging folder, which every failure and cancellation removes.
    std::filesystem::path extract(const std::filesystem::path& archive,
                                  const std::set<std::string>& paths,
                                  const std::filesystem::path& destination,
                                  Progress& progress) override;

    // Puts one entry, or a folder entry with everything below it, exactly at `result`. With a
    // limit, a selected entry larger than it fails with previewTooLarge before anything is
    // written.
    void extractPayload(const ArchiveItem& item, const std::filesystem::path& archive,
                        const std::filesystem::path& result, Progress& progress,
                        std::optional<std::int64_t> limit) const;

    // The extraction core: streams `entries` (in listing order, all from this archive's
    // listing) to the locations `outputOf` gives, checking sizes and CRC-32 and restoring
    // permissions and modification dates. Unless `noLimit`, an entry producing more than
    // `limit` bytes fails with corrupt. Partly written files are left to the caller to remove.
    using OutputLocation = std::function<std::filesystem::path(const ArchiveItem&)>;
    void extractEntries(const std::filesystem::path& archive,
                        const std::vector<ArchiveItem>& entries, Progress& progress,
                        std::int64_t limit, bool noLimit, const OutputLocation& outputOf) const;

    // A copy whose `resolved` is the candidate of `password` that opens the smallest encrypted
    // file of `listing` (the first candidate when none does, or when there is only one).
    ZIPArchiveEngine resolvePassword(const std::filesystem::path& archive,
                                     const ArchiveSummary& listing, Progress& progress) const;
    // Passes when the archive has no encrypted file, or when the password opens and correctly
    // decrypts the first one; otherwise passwordRequired, wrongPassword, unsupported or corrupt.
    void verifyPassword(const std::filesystem::path& archive, const ArchiveSummary& listing,
                        Progress& progress) const;

    // Maps a container status: >= 0 passes, -109 unsupported, -108 wrongPassword, any other
    // negative N corrupt("ZIP (código N)").
    static void check(int status);
    // The decoded name of the reader's current entry: UTF-8, else code page 437 when the entry
    // does not claim UTF-8. A NUL byte fails with unsafePath("Nombre con byte nulo").
    static std::string entryName(ZIPReader& reader);
    // The part files of the archive's set in order, the archive itself last; a missing,
    // unreadable, non-regular or linked part fails with missingVolume(its file name).
    static std::vector<std::filesystem::path> volumes(const std::filesystem::path& archive,
                                                      ZIPReader& reader);
    // The ZIP path rule: fails with unsafePath(path) for an empty or absolute path, "\", ":",
    // NUL, a "." or ".." piece, or an empty piece other than a folder's trailing one.
    static void validatePath(const std::string& path);
    // The path rule over every item, then duplicate(path) for a repeated name (compared trimmed
    // of "/", in NFC, and case-insensitively unless `caseSensitive`) or for an entry below a file.
    static void checkListing(const std::vector<ArchiveItem>& items, bool caseSensitive);

    // The listing order is kept. An empty set selects everything; otherwise a chosen path selects
    // itself and, taken as a folder, everything below it ("docs" selects "docs/a.txt").
    static std::vector<ArchiveItem> selectEntries(const std::vector<ArchiveItem>& entries,
                                                  const std::set<std::string>& paths);
    // The first of folder/name, folder/"name 2", folder/"name 3", … that does not exist
    // ("Archivos" stands in for an empty name). Nothing is created.
    static std::filesystem::path availableURL(const std::string& name,
                                              const std::filesystem::path& folder);
    static void removeItem(const std::filesystem::path& location) noexcept;
};

} // namespace vexa
