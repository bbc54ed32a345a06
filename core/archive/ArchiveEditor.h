#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/CreationAbilities.h"
#include "core/archive/CreationRequest.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// What the workspace asks of a format beyond reading: its creation, its edits, writing a split
// set as one archive, putting one entry at an exact place, and repair. The engine choice hands
// out one per format (makeArchiveEditor), holding the password the archive is opened with.
// Every call is synchronous, runs on a background task, polls the progress object's
// cancellation and throws ArchiveFailure, a platform error or CancellationError. An operation
// a format cannot do fails at once with the failure that format gives for it; the flags below
// tell so beforehand.
class ArchiveEditor {
  public:
    virtual ~ArchiveEditor() = default;

    // Whether saveAsSingle can succeed: only formats that are ever split.
    virtual bool savesAsSingle() const = 0;
    // Whether repair can succeed; a format without repair keeps the defaults of both.
    virtual bool repairs() const { return false; }
    // The creation settings create() honours; it drops the others.
    virtual CreationAbilities creationAbilities() const = 0;

    // Writes `request.sources` as a new archive with the request's settings (its own password,
    // not the editor's) and returns the location written.
    virtual std::filesystem::path create(const CreationRequest& request,
                                         Progress& progress) const = 0;

    // The edits replace the archive at `archive` (a real file, not a link) and return the
    // location of the edited archive.
    // Gives `item` (a folder with everything below it) the one-component name `newName`.
    virtual std::filesystem::path rename(const std::filesystem::path& archive,
                                         const ArchiveItem& item, const std::string& newName,
                                         Progress& progress) const = 0;
    // Removes the entries at `paths`, each folder with everything below it.
    virtual std::filesystem::path deleteEntries(const std::filesystem::path& archive,
                                                const std::set<std::string>& paths,
                                                Progress& progress) const = 0;
    // Adds `sources` into `folder` ("" for the root, else ending in "/"); repeated names follow
    // `policy` (with `ask`, ArchiveFailure::conflict names the first one).
    virtual std::filesystem::path add(const std::filesystem::path& archive,
                                      const std::vector<std::filesystem::path>& sources,
                                      const std::string& folder, ArchiveConflictPolicy policy,
                                      Progress& progress) const = 0;

    // Writes every entry of `archive` (typically a split set) as one ordinary archive of the
    // same format at `destination`.
    virtual void saveAsSingle(const std::filesystem::path& archive,
                              const std::filesystem::path& destination,
                              Progress& progress) const = 0;

    // Puts one entry, or a folder entry with everything below it, exactly at `destination`. An
    // entry larger than `limit` fails with ArchiveFailure::previewTooLarge.
    virtual void extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                              const std::filesystem::path& destination, Progress& progress,
                              std::optional<std::int64_t> limit) const = 0;

    // Writes a repaired copy of `damaged` at `destination` and returns it, with true when the
    // archive was repaired as it was and false when it was rebuilt from its sound entries.
    // Without repair: fails with unsupported.
    virtual std::pair<std::filesystem::path, bool> repair(const std::filesystem::path& damaged,
                                                          const std::filesystem::path& destination,
                                                          Progress& progress) const;

    // Whether the archive's names cannot be read without its password (by default they can).
    // Never fails.
    virtual bool hidesNames(const std::filesystem::path& archive) const;
};

} // namespace vexa
