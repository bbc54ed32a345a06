#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

// The program's work folders (".vexa-extract-…" in a destination, ".vexa-replace-…" beside an
// archive, "vexa-enlaces-…" and "Vexa-preview-…" in the temporary folder). Each one is locked
// (flock) from its creation until it is removed or moved into place, so a folder of that name
// that nobody holds was left by a killed run and may be removed.
namespace vexa::files {

using Path = std::filesystem::path;

bool isWorkFolderName(const std::string& name);

// Locks a work folder just made at `folder` and remembers `userItem`, the file or folder the
// user knows it by (the archive it replaces, the destination it fills). Returns false when a
// sweep removed the folder before the lock was taken; the caller makes it again.
bool holdWorkFolder(const Path& folder, const Path& userItem);
// Drops the lock of a work folder of this process (after it was removed or moved into place).
void releaseWorkFolder(const Path& folder) noexcept;
bool isHeldWorkFolder(const Path& folder);

// The file or folder a message should name for `location`, which may lie in a work folder:
// the work folder itself, and the file built directly in a replacement folder, stand for the
// user's item; anything deeper (an extracted entry) is named as it is. Empty when `location`
// lies in no work folder.
std::optional<Path> userItemForWorkPath(const Path& location);

// Removes the work folders directly inside `folder` that belong to this user and that no
// running program holds. Every error is ignored.
void sweepLeftovers(const Path& folder) noexcept;
// The same for the folder that holds `item` (the file it leads to, when it is a link), where
// a killed edit of it left its replacement folder.
void sweepLeftoversBeside(const Path& item) noexcept;

// The permissions a new folder gets: 0777 less the process's umask.
mode_t newFolderPermissions();

} // namespace vexa::files
