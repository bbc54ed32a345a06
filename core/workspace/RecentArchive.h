#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// One archive of the recent list. `name` is the archive's file name and keeps the list free of
// repeats; the bookmarks let it be reached again in a later run.
struct RecentArchive {
    using Data = std::vector<std::uint8_t>;

    std::string id; // UUID, upper-case standard text form
    std::string name;
    Data bookmark;
    std::optional<Data> folderBookmark;

    bool operator==(const RecentArchive&) const = default;
};

// The stored form: a JSON array of {"id", "name", "bookmark" (Base64), "folderBookmark"
// (Base64, left out when absent)}, newest first.
std::string encodeRecentArchives(const std::vector<RecentArchive>& recents);
// Nothing when the data is not such an array or any element lacks or misstates a required key.
std::optional<std::vector<RecentArchive>> decodeRecentArchives(const std::string& json);

std::string base64Encoded(const RecentArchive::Data& data);
// Nothing when the text is not padded standard Base64.
std::optional<RecentArchive::Data> base64Decoded(const std::string& text);

} // namespace vexa
