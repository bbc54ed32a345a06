#pragma once

#include "core/archive/ArchiveItem.h"
#include "engines/sevenzip/SevenZipOpening.h"
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

// Writes each selected entry of an opened archive to `destination(entry)`. Files are created
// new (never through a link, never over an existing item) with permissions 0600 while written,
// then get the entry's permissions and time; folders get theirs once everything is written.
// Independent folders of the archive are decoded at once on several threads, within a memory
// budget, each while another thread writes the files already decoded (decodeSevenZipFiles).
// A selected entry that is not in the archive throws archiveChanged; data of another
// length or CRC than listed, corrupt(path) (wrongPassword in an encrypted folder). Progress
// counts max(size, 1) per entry.
void writeSevenZipEntries(const SevenZipOpenArchive& open, const std::vector<ArchiveItem>& selected,
                          Progress& progress, const SevenZipDestination& destination);

} // namespace vexa
