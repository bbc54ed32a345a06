#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// A new folder "vexa-enlaces-<UUID>" in the temporary folder holding, for each (location,
// name) pair in order, a symbolic link `name` to `location`, so that the rar program run there
// on "*" archives every chosen item under its own name and never sees the user's paths.
// The caller removes the folder; a failure removes it and passes the platform's error on.
std::filesystem::path
stageSourcesAsLinks(const std::vector<std::pair<std::filesystem::path, std::string>>& pairs);

} // namespace vexa
