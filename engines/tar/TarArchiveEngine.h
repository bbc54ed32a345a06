#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/SourceEntries.h"
#include "core/archive/TarCompression.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vexa {

// What an add puts into a TAR archive.
struct TarAddPlan {
    // Listed paths that leave the archive, each with everything below it.
    std::vector<std::string> replaced;
    // Every new file and folder under its path in the archive.
    SourceEntryMap sources;
};

// The plan of an add, worked out from the archive's listing as the add finds it.
using TarAddPlanStep = std::function<TarAddPlan(const ArchiveSummary& listing, Progress& progress)>;

// Reads TAR archives (plain, gzip, bzip2, xz, zstd) and single compressed files (.gz, .bz2, .xz,
// .zst). A single file lists as one entry named after the file without its compression suffix.
// Symbolic links are refused with ArchiveFailure::symbolicLink, hard links and special files
// with ArchiveFailure::unsupportedTar, damaged or truncated data with ArchiveFailure::tarFailure.
class TarArchiveEngine : public ArchiveEngine {
  public:
    // The levels create() takes.
    static constexpr int lowestLevel = 1;
    static constexpr int highestLevel = 9;

    TarArchiveEngine() = default;

    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;

    // The result is one new folder in `destination`, named after the archive without its TAR
    // suffix ("fotos.tar.gz" gives "fotos"; "notas.txt.gz" gives "notas" holding "notas.txt"),
    // with " 2", " 3"... appended when the name is taken. Nothing is left behind on failure.
    std::filesystem::path extract(const std::filesystem::path& archive,
                                  const std::set<std::string>& paths,
                                  const std::filesystem::path& destination,
                                  Progress& progress) override;

    // Writes `entry` (a folder with everything below it) to exactly `destination`, which must
    // not exist yet (ArchiveFailure::conflict). An entry larger than `limit` fails with
    // ArchiveFailure::previewTooLarge before anything is written; an entry the archive does not
    // hold fails with ArchiveFailure::corrupt carrying its path.
    void extractPayload(const ArchiveItem& entry, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit = std::nullopt);

    // Writes the sources (files and folders, each under its own name) as a TAR archive, or with
    // `singleFile` the one source file compressed by itself, and returns `destination`. Refuses
    // no sources (emptySelection); a level outside lowestLevel to highestLevel, or a single file
    // asked of other than one file or without compression (unsupportedTar with an empty text); a
    // destination inside a source folder, and a result that does not read back as the sources
    // (tarFailure); and whatever collectSourceEntries refuses. The destination is replaced only
    // after the check.
    std::filesystem::path create(const std::vector<std::filesystem::path>& sources,
                                 const std::filesystem::path& destination, Progress& progress,
                                 TarCompression compression, int level, bool singleFile);

    // The edits below rewrite the whole archive under its own compression into a new file beside
    // it, read that back against the expected listing (tarFailure "el contenido del TAR no
    // coincide con el cambio esperado."), and replace the archive only when it is unchanged
    // since the edit began (archiveChanged otherwise). They return the archive's location. A
    // single compressed file is refused with readOnlySingle.

    // Renames one entry; a folder takes everything below it along. The new name must be a
    // plain name (unsafePath naming it) that no other entry of the same folder holds
    // (conflict). An entry the archive no longer holds fails with archiveChanged.
    std::filesystem::path rename(const std::filesystem::path& archive, Progress& progress,
                                 const ArchiveItem& entry, const std::string& newName);

    // Removes the entries at `paths`, folders with everything below them. An empty set fails
    // with emptySelection, a path the archive no longer holds with archiveChanged.
    std::filesystem::path deleteEntries(const std::filesystem::path& archive,
                                        const std::set<std::string>& paths, Progress& progress);

    // Keeps every entry that the plan does not replace and writes the planned new items, each
    // checked against its source on disk. A plan with nothing new leaves the archive untouched.
    std::filesystem::path add(const std::filesystem::path& archive, Progress& progress,
                              const TarAddPlanStep& plan);

    // The plan of adding `sources` to `folder` ("" for the root, else an existing folder path
    // ending in "/"; unsafePath otherwise). A name taken in that folder (compared by name key)
    // is resolved by `policy`: ask fails with conflict naming it, replace removes the old entry
    // and everything below it, keepBoth takes the first free name "name 2.ext", "name 3.ext"...,
    // skip leaves the source out. The archive itself as a source fails with sourceIsArchive, a
    // folder holding the archive with tarFailure; repeated names among the new items, and
    // whatever else collectSourceEntries refuses, fail as it reports them.
    static TarAddPlan collectSources(const std::vector<std::filesystem::path>& sources,
                                     const std::string& folder, ArchiveConflictPolicy policy,
                                     const ArchiveSummary& listing, Progress& progress);
};

} // namespace vexa
