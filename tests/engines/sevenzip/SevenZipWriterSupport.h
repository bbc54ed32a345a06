#pragma once

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

// Independent readings of what the 7z writer produced: bsdtar lists and extracts.
namespace vexa::testing::sevenzip {

// bsdtar's listing of an archive, sorted.
inline std::vector<std::string> bsdtarListing(const std::filesystem::path& archive) {
    std::istringstream lines(runChecked("bsdtar -tf " + shellQuote(archive.string())));
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

// One entry's data as bsdtar extracts it.
inline std::string bsdtarContent(const std::filesystem::path& archive, const std::string& path) {
    return runChecked("bsdtar -xOf " + shellQuote(archive.string()) + " " + shellQuote(path));
}

// Names directly inside a folder, sorted.
inline std::vector<std::string> folderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace vexa::testing::sevenzip
