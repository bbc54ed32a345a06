#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// Writes 7z archives through the project's own container writer (SevenZipArchiveWriter), with
// AES-256 encryption when a password is given.
// Every result is built in an item-replacement folder on the target's volume, read back in full
// (with the password) and compared with what was meant before it is put in place; on any
// failure or cancellation nothing is left behind and an existing target is untouched.
struct SevenZipWriter {
    // The levels create() takes.
    static constexpr int lowestLevel = 0;
    static constexpr int highestLevel = 9;

    // Files and folders planned into an archive by an add.
    struct AddPlan {
        // Paths whose listed entries (matched by name key), with everything below them, are
        // dropped.
        std::set<std::string> replaced;
        // Entry path in the archive -> the item on disk, every file and folder of the sources.
        SourceEntryMap sources;
        // max(size, 1) summed over `sources`.
        std::int64_t units = 0;
    };
    // Given the archive's listing, the plan of an add; nothing leaves the archive untouched.
    using PlanStep = std::function<std::optional<AddPlan>(const ArchiveSummary&, Progress&)>;

    // Writes `sources` (each under its own name) as a new archive; level 0 stores, 1 to 9
    // compress. With `volumeSize` 0 the result is `destination`; otherwise the parts
    // (name.7z.001, ... of exactly `volumeSize` bytes, the last one shorter) go into a new folder
    // "<name> — partes" (or "... — partes 2", ...) beside the destination, and the result is the
    // first part. A password encrypts the data, and with `encryptHeaders` the names too;
    // `encryptHeaders` is ignored without one. Fails with emptySelection,
    // unsupported7z (a volume size from 1 to 65535 or negative, a level outside 0 to 9),
    // sevenZipFailure (the destination inside a source folder; a read-back that does
    // not match the sources), the source walk's failures, or CancellationError.
    static std::filesystem::path create(const std::vector<std::filesystem::path>& sources,
                                        const std::filesystem::path& destination,
                                        Progress& progress, std::int64_t volumeSize,
                                        const std::optional<std::string>& password,
                                        bool encryptHeaders, int level);

    // Writes every entry of `archive` (typically a volume set) into one new archive at
    // `destination`, replacing what is there. A destination that is one of the set's own parts
    // fails with sourceIsArchive; a read-back mismatch with sevenZipFailure; reading failures
    // are the 7z reader's.
    static void saveAsSingle(const std::filesystem::path& archive,
                             const std::filesystem::path& destination, Progress& progress,
                             const std::optional<std::string>& password);

    // The edits; each returns `archive` after replacing it, and fails with archiveChanged when
    // the file's size or modification date changed between the start and the replacement, and
    // with splitEditing for a volume set. The edits and saveAsSingle copy the folders (solid
    // blocks) whose every file they keep as they are, and write the other kept entries again:
    // stored when the archive is no smaller than its content, else at LZMA2 level 6. An
    // encrypted archive stays encrypted with the password that opens it, its names hidden when
    // they were.
    // Renames `entry` to `newName` (one path component) in its folder; a folder takes every
    // path under it. A name already taken fails with conflict(newName).
    static std::filesystem::path rename(const std::filesystem::path& archive,
                                        const ArchiveItem& entry, const std::string& newName,
                                        const std::optional<std::string>& password,
                                        Progress& progress);
    // Deletes the entries at `paths`; a folder goes with everything below it. Paths that match
    // nothing fail with emptySelection.
    static std::filesystem::path deleteEntries(const std::filesystem::path& archive,
                                               const std::set<std::string>& paths,
                                               const std::optional<std::string>& password,
                                               Progress& progress);
    // Keeps the entries `plan` does not replace and adds its sources.
    static std::filesystem::path add(const std::filesystem::path& archive,
                                     const std::optional<std::string>& password, Progress& progress,
                                     const PlanStep& plan);

    // The plan of adding `sources` (user's order) into `folder` ("" for the root). The folder
    // and the names are compared as name keys with the listed entries and with the items
    // planned before; a taken name goes by `policy`: ask fails with conflict(name), skip leaves
    // the item out, keepBoth takes the first free "name 2.ext", "name 3.ext", ..., replace drops
    // the listed entry of that key (a folder with its content; a name taken only by another new
    // item fails with conflict). The archive itself fails with sourceIsArchive, a folder holding
    // it with sevenZipFailure; the planned listing goes through validateEntries. Nothing is
    // planned when every item was skipped.
    static std::optional<AddPlan> collectSources(const std::vector<std::filesystem::path>& sources,
                                                 const std::string& folder,
                                                 ArchiveConflictPolicy policy,
                                                 const ArchiveSummary& listed, Progress& progress);
};

// The texts of this writer's sevenZipFailure cases.
inline constexpr const char* kSevenZipInsideSourceMessage =
    "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.";
inline constexpr const char* kSevenZipSourcesMismatchMessage =
    "el contenido del 7z no coincide con los archivos seleccionados.";
inline constexpr const char* kSevenZipOriginalMismatchMessage =
    "el contenido del 7z no coincide con el original.";
inline constexpr const char* kSevenZipChangeMismatchMessage =
    "el contenido del 7z no coincide con el cambio esperado.";

} // namespace vexa
