#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "engines/zip/ZIPSourceEntry.h"
#include "platform/ExtractedFolders.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vexa {

class ZIPReader;
class ZIPWriter;

// Lists and extracts ZIP archives (split sets, ZIP64, ZipCrypto and WinZip AES entries, Java and
// Android packages), creates them and edits them by rewriting, through the ZIP container layer. A
// plain value: the fields never change after construction; an operation that needs a resolved
// password works on a copy.
class ZIPArchiveEngine : public ArchiveEngine {
  public:
    explicit ZIPArchiveEngine(std::optional<std::string> password = std::nullopt);
    // The password and the resolved bytes are wiped with the value.
    ~ZIPArchiveEngine() override;
    ZIPArchiveEngine(const ZIPArchiveEngine&) = default;
    ZIPArchiveEngine(ZIPArchiveEngine&&) = default;
    ZIPArchiveEngine& operator=(const ZIPArchiveEngine&) = default;
    ZIPArchiveEngine& operator=(ZIPArchiveEngine&&) = default;

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
    // The listing of an archive unchanged since it was last listed is given again without
    // reading it (ZIPListingCache.h).
    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;
    // The listing itself, always read from the archive.
    static ArchiveSummary listArchive(const std::filesystem::path& archive, Progress& progress);
    // As list, without copying a remembered listing.
    static std::shared_ptr<const ArchiveSummary> sharedListing(const std::filesystem::path& archive,
                                                               Progress& progress);

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
    // listing) to the locations `outputOf` gives (called from several threads at once), checking
    // sizes and CRC-32 and restoring permissions and modification dates. Unless `noLimit`, an entry
    // producing more than `limit` bytes fails with corrupt. Partly written files are left to the
    // caller to remove.
    using OutputLocation = std::function<std::filesystem::path(const ArchiveItem&)>;
    void extractEntries(const std::filesystem::path& archive,
                        const std::vector<ArchiveItem>& entries, Progress& progress,
                        std::int64_t limit, bool noLimit, const OutputLocation& outputOf) const;

    // One file or folder entry of extractEntries, with `reader` positioned at or before it
    // (`status` as its last move answered), through the worker's `buffer` of bufferSize bytes,
    // reporting done units to `completed`;
    // `madeFolder` is the last output folder known to exist; a folder entry's time goes to
    // `folders`.
    using UnitSink = std::function<void(std::int64_t)>;
    void extractEntry(ZIPReader& reader, int& status, const ArchiveItem& entry, Progress& progress,
                      const UnitSink& completed, std::int64_t limit, bool noLimit,
                      const OutputLocation& outputOf,
                      const std::optional<std::string>& passwordBytes, unsigned char* buffer,
                      std::filesystem::path& madeFolder, files::ExtractedFolders& folders) const;

    // A copy whose `resolved` is the candidate of `password` that opens the smallest encrypted
    // file of `listing` (the first candidate when none does, or when there is only one).
    ZIPArchiveEngine resolvePassword(const std::filesystem::path& archive,
                                     const ArchiveSummary& listing, Progress& progress) const;
    // Passes when the archive has no encrypted file, or when the password opens and correctly
    // decrypts the first one; otherwise passwordRequired, wrongPassword, unsupported or corrupt.
    // The bytes entries are read and written with: `resolved`, else the first candidate of
    // `password`, else none.
    std::optional<std::string> workingPassword() const;
    void verifyPassword(const std::filesystem::path& archive, const ArchiveSummary& listing,
                        Progress& progress) const;

    // Maps a container status: >= 0 passes, -109 unsupported, -108 wrongPassword, any other
    // negative N corrupt("ZIP (código N)").
    static void check(int status);
    // Like check for a read of entry data; for an encrypted entry, data that does not decode is
    // a wrong password (one in 256 wrong ZipCrypto passwords passes the header's check byte).
    static void checkDataRead(int status, bool encrypted);
    // The decoded name of the reader's current entry: UTF-8, else code page 437 when the entry
    // does not claim UTF-8. A NUL byte fails with unsafePath("Nombre con byte nulo").
    static std::string entryName(ZIPReader& reader);
    // The part files of the archive's set in order, the archive itself last; a missing,
    // unreadable, non-regular or linked part fails with missingVolume(its file name).
    static std::vector<std::filesystem::path> volumes(const std::filesystem::path& archive,
                                                      ZIPReader& reader);
    // Where one listed entry's bytes lie: its local header's part and offset, and the bytes it
    // takes at least there (fixed header, name and stored data; its extra field and data
    // descriptor are not counted, so the span is a lower bound).
    struct EntryExtent {
        std::uint32_t disk = 0;
        std::uint64_t offset = 0;
        std::uint64_t span = 0;
    };
    // Fails with corrupt(name of the entry) when an entry's bytes reach past the start of the
    // central directory or share bytes with another entry's: entries that overlap let a small
    // archive extract to any size. `extents` and `items` run in parallel.
    static void checkExtents(ZIPReader& reader, const std::vector<EntryExtent>& extents,
                             const std::vector<ArchiveItem>& items);
    // The ZIP path rule: fails with unsafePath(path) for an empty or absolute path, "\", ":",
    // NUL, a "." or ".." piece, or an empty piece other than a folder's trailing one.
    static void validatePath(const std::string& path);
    // The path rule over every item, then duplicate(path) for a repeated name (compared trimmed
    // of "/", in NFC, and case-insensitively unless `caseSensitive`) or for an entry below a file.
    static void checkListing(const std::vector<ArchiveItem>& items, bool caseSensitive);
    // checkListing over `first` followed by `then`.
    static void checkListing(const std::vector<ArchiveItem>& first,
                             const std::vector<ArchiveItem>& then, bool caseSensitive);
    // checkListing over `items` under their `renames` names.
    static void checkListing(const std::vector<ArchiveItem>& items,
                             const std::map<std::string, std::string>& renames, bool caseSensitive);

    // The listing order is kept. An empty set selects everything; otherwise a chosen path selects
    // itself and, taken as a folder, everything below it ("docs" selects "docs/a.txt").
    static std::vector<ArchiveItem> selectEntries(const std::vector<ArchiveItem>& entries,
                                                  const std::set<std::string>& paths);
    // The first of folder/name, folder/"name 2", folder/"name 3", … that does not exist
    // ("Archivos" stands in for an empty name). Nothing is created.
    static std::filesystem::path availableURL(const std::string& name,
                                              const std::filesystem::path& folder);
    static void removeItem(const std::filesystem::path& location) noexcept;

    // Writing. Every new archive is built in a replacement folder beside its target, read back
    // by list, and only then moved into place; every failure and cancellation removes that
    // folder, so nothing partial is left and the target keeps its previous content.

    // Writes `sources` (files and folders, walked in order) into a new archive at `destination`
    // and returns it; with a splitSize of at least 65536 (smaller, other than 0: unsupported) the
    // parts go into a new folder beside it named after the archive + " — partes", and the result
    // is the archive inside that folder. File entries are deflated at level 6 when
    // `useCompression` (else stored) and AES-256 encrypted when `password` is present.
    std::filesystem::path create(const std::vector<std::filesystem::path>& sources,
                                 const std::filesystem::path& destination, bool useCompression,
                                 Progress& progress) const;
    // Writes one file or folder as the entry `path` (a folder gets a trailing "/"). A file
    // whose size changes while it is read fails with corrupt, naming the entry.
    void addFile(const std::string& path, const std::filesystem::path& url, ZIPWriter& writer,
                 bool useCompression, Progress& progress) const;
    // Writes `entries` in order as addFile writes each, with their files compressed (and
    // encrypted) on several threads at once and a large file cut into pieces that join into
    // one deflate stream. At most a bounded amount of compressed data waits for its turn.
    void addFiles(const std::vector<ZIPSourceEntry>& entries, ZIPWriter& writer,
                  bool useCompression, Progress& progress) const;
    // The chosen item as `name`, then, for a folder, everything below it (hidden files too).
    // Refuses links (symbolicLink), special files (unsupported) and names breaking the ZIP path
    // rule (unsafePath).
    static std::vector<ZIPSourceEntry>
    enumerateSources(const std::filesystem::path& url, const std::string& name, Progress& progress);
    // The entries as listing items (sizes 0, not encrypted) for checkListing.
    static std::vector<ArchiveItem> plannedItems(const std::vector<ZIPSourceEntry>& entries);

    // Editing. The archive is never changed in place: `rewrite` builds the new one.

    // File number, size and modification time of the file, joined by "|"; taken when an edit
    // starts and compared before the archive is replaced.
    static std::string snapshot(const std::filesystem::path& location);
    // Whether `path` collides (same name key, or a folder over an entry) with an existing or
    // an already planned entry.
    static bool conflicts(const std::string& path, const std::vector<ArchiveItem>& existing,
                          bool caseSensitive, const std::vector<ZIPSourceEntry>& planned);
    // Adds `sources` into `folder` ("" for the root, else an existing folder ending in "/") and
    // returns the archive; repeated names follow `policy`. Nothing is written when every source
    // is skipped.
    std::filesystem::path add(const std::vector<std::filesystem::path>& sources,
                              const std::filesystem::path& archive, const std::string& folder,
                              ArchiveConflictPolicy policy, Progress& progress) const;
    // Writes `kept` (a subsequence of the listing, in its order) copied raw under their
    // `renames` names, then `added`, into a new single-file archive that replaces `output`, or
    // the archive itself when there is none (a split set fails with splitEditing). Fails with
    // archiveChanged when the archive's snapshot no longer equals `fingerprint` or any volume
    // changed during the copy. Returns the location written.
    std::filesystem::path rewrite(const std::filesystem::path& archive,
                                  const std::vector<ArchiveItem>& kept,
                                  const std::vector<ZIPSourceEntry>& added,
                                  const std::map<std::string, std::string>& renames,
                                  Progress& progress, const std::string& fingerprint,
                                  const std::optional<std::filesystem::path>& output) const;
    // Removes the chosen entries (a folder with everything below it) and returns the archive.
    std::filesystem::path deleteEntries(const std::set<std::string>& paths,
                                        const std::filesystem::path& archive,
                                        Progress& progress) const;
    // Gives `item` (and, for a folder, everything below it) the name `newName` within its
    // folder and returns the archive.
    std::filesystem::path rename(const ArchiveItem& item, const std::filesystem::path& archive,
                                 const std::string& newName, Progress& progress) const;
    // The comparison key of a path: without "/" at both ends, in NFC, lower-cased unless
    // `caseSensitive`.
    static std::string nameKey(const std::string& path, bool caseSensitive);
    // Whether the key of `path` is `key` (a nameKey) or lies below it ("docs" covers "Docs/a").
    static bool keyCovers(const std::string& key, const std::string& path, bool caseSensitive);
};

} // namespace vexa
