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

Data bookmarkData(const std::filesystem::path& location);
// Throws PlatformError when the data is unreadable or the item no longer exists.
std::filesystem::path resolveBookmark(const Data& data);

// Start and stop of security-scoped access. Access starts for any existing item; starts and
// stops are counted so that tests can check that every start is stopped.
bool startAccessing(const std::filesystem::path& location);
void stopAccessing(const std::filesystem::path& location);

struct AccessCounts {
    std::int64_t starts = 0;
    std::int64_t stops = 0;
};
AccessCounts accessCounts();
// Locations with more starts than stops, with the difference.
std::map<std::filesystem::path, std::int64_t> openAccess();
void resetAccessCounts();

} // namespace vexa::bookmarks
