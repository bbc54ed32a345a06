#pragma once

#include "core/archive/ArchiveItem.h"
#include "platform/Progress.h"

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace vexa {

// Whether an entry is chosen: every entry when `requested` is empty, the paths it holds, and
// everything below a folder it holds (with or without its trailing "/").
bool isSelectedSevenZipPath(const std::string& path, const std::set<std::string>& requested);

using SevenZipDestination = std::function<std::filesystem::path(const ArchiveItem&)>;

// One extraction pass: streams each selected entry to `destination(entry)`. Files are created
// new (never through a link, never over an existing item) with permissions 0600 while written,
// then get the entry's permissions and time; folders get theirs once everything is written.
// A selected entry that differs from the archive or is not met again throws archiveChanged;
// data of another length than listed, corrupt(path). Progress counts max(size, 1) per entry.
void writeSevenZipEntries(const std::vector<std::filesystem::path>& volumes,
                          const std::vector<ArchiveItem>& selected, Progress& progress,
                          const SevenZipDestination& destination);

} // namespace vexa
