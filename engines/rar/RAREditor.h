#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "core/archive/LockedRAR.h"
#include "core/archive/SourceEntries.h"
#include "engines/rar/RARCommand.h"
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

// Changes RAR archives through the rar program. Edits (rename, delete, add) work on a copy of
// a single-volume archive in a stage folder beside it, read the copy back, compare it with the
// listing the change must give, and only then put it in the archive's place; repair and
// save-as-single write a new file and never touch their source. On any failure or
// cancellation the archive is left as it was and every temporary folder is gone.
struct RAREditor {
    // The password as the user gave it; none for an archive without one.
    std::optional<std::string> password;
    // The rar program; without one the archive is read-only.
    std::optional<std::filesystem::path> executable;

    // What one edit fixed before its change step ran.
    struct Context {
        ArchiveSummary summary; // the archive as listed at the start
        std::filesystem::path copy;
        std::filesystem::path stage;         // holds the copy; also the program's work folder
        std::optional<std::string> password; // the variant that opened the archive
        bool hidesNames = false;
        RARCommand command; // failures become ArchiveFailure::rarEdit
        Progress* progress = nullptr;

        // Runs `arguments` (command word first) on the copy's behalf: inserts "-w"+stage, then
        // "-p" when there is a password and the arguments hold no "-p"/"-hp", then "-rr5%" when
        // the archive has a recovery record, right after the command word. Runs in the stage
        // unless a working directory is given; the password goes to the program's input.
        void runRAR(const std::vector<std::string>& arguments,
                    const std::optional<std::filesystem::path>& workingDirectory,
                    std::int64_t progressUnits) const;
    };

    // What the copy must hold after a change: every entry path as the reader lists it (folders
    // with "/"), and the files and folders the change put in, to be compared with their
    // sources.
    struct Change {
        std::set<std::string> expectedPaths;
        SourceEntryMap expectedSources;
    };
    // Nothing means there is nothing to do: the archive is left untouched.
    using ChangeStep = std::function<std::optional<Change>(const Context&)>;

    // The edit frames; each returns `archive`. `newName` is one path component that the caller
    // has already checked.
    std::filesystem::path rename(const std::filesystem::path& archive, Progress& progress,
                                 const ArchiveItem& entry, const std::string& newName) const;
    // Folders go with everything below them.
    std::filesystem::path deleteEntries(const std::filesystem::path& archive, Progress& progress,
                                        const std::set<std::string>& paths) const;
    std::filesystem::path add(const std::filesystem::path& archive, Progress& progress,
                              const ChangeStep& change) const;

    // The change steps.
    static std::optional<Change> renameStep(const Context& context, const ArchiveItem& entry,
                                            const std::string& newName);
    static std::optional<Change> deleteStep(const Context& context,
                                            const std::set<std::string>& paths);
    // Adds `sources` (user's order) into `folder` ("" for the root, else ending in "/").
    // Names already taken go by `policy`; with `ask` the first one fails with
    // ArchiveFailure::conflict carrying it.
    static std::optional<Change> addFiles(const Context& context, const std::string& folder,
                                          const std::vector<std::filesystem::path>& sources,
                                          const std::filesystem::path& archive,
                                          ArchiveConflictPolicy policy, Progress& progress);

    // A source and the name it gets inside the target folder.
    using PlannedItem = std::pair<std::filesystem::path, std::string>;
    // True when `target` collides by name key with a listed entry or something below one, or
    // with an item already planned into `folder`.
    static bool nameIsTaken(const std::string& target, const std::vector<ArchiveItem>& entries,
                            const std::vector<PlannedItem>& planned, const std::string& folder);

    // Repairs a copy of `damaged` with the program's repair command and puts the result at
    // `destination`. The flag is true when the program repaired the archive as it was
    // ("fixed."), false when it rebuilt it ("rebuilt."), in which case entries that still fail
    // their test have been removed. The password is used as given.
    std::pair<std::filesystem::path, bool> repair(const std::filesystem::path& damaged,
                                                  const std::filesystem::path& destination,
                                                  Progress& progress) const;

    // Writes the entries of `archive` (typically a volume set) as one new archive at
    // `destination`, keeping the password, hidden names and recovery record; returns what
    // the creation returns.
    std::filesystem::path saveAsSingleArchive(const std::filesystem::path& archive,
                                              const std::filesystem::path& destination,
                                              Progress& progress) const;

  private:
    std::filesystem::path edit(const std::filesystem::path& archive, Progress& progress,
                               const ChangeStep& change) const;
};

// The archive's size and modification time as one text; a changed text means the file was
// changed by someone else. Throws the platform's error when the file cannot be read.
std::string snapshotArchive(const std::filesystem::path& archive);

// The rar program reads "*" and "?" in names as wildcards, so such names cannot be aimed at
// one entry: throws ArchiveFailure::rarEdit.
void rejectWildcardNames(const std::string& name);

} // namespace vexa
