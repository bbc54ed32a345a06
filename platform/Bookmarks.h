#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

// In place of security-scoped bookmarks: a bookmark records a location and its file identity;
// resolving gives the location back and fails when the item is gone.
namespace vexa::bookmarks {

using Data = std::vector<std::uint8_t>;

// The bookmark of an existing item (its absolute location and its device and inode). Throws
// PlatformError when the item cannot be reached.
Data bookmarkData(const std::filesystem::path& location);
// Throws PlatformError when the data is unreadable or the item no longer exists. An item
// replaced at the same location (another inode) still resolves: archives are rewritten by
// replacement, and their bookmarks must survive it.
std::filesystem::path resolveBookmark(const Data& data);

// Start and stop of security-scoped access. Access starts for any existing item (a dangling
// symbolic link counts as existing); starts and stops are counted so that tests can check that
// every start is stopped. Locations are compared in absolute, lexically normal form.
bool startAccessing(const std::filesystem::path& location);
void stopAccessing(const std::filesystem::path& location);

// There is no sandbox on Linux: a folder the process may read and enter is granted at once, so
// no panel needs to ask the user for it.
bool grantedWithoutAsking(const std::filesystem::path& folder);

struct AccessCounts {
    std::int64_t starts = 0; // successful starts only
    std::int64_t stops = 0;
};
AccessCounts accessCounts();
// Locations whose successful starts and stops differ, with starts minus stops (negative when a
// location was stopped more often than it was started).
std::map<std::filesystem::path, std::int64_t> openAccess();
void resetAccessCounts();

} // namespace vexa::bookmarks
