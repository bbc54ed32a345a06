#pragma once

#include "core/archive/ArchiveItem.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/SevenZipArchiveWriter.h"
#include "platform/Progress.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// The path a kept entry gets in the new archive, or nothing to leave it out.
using SevenZipPathChange = std::function<std::optional<std::string>(const ArchiveItem&)>;

// Streams the entries of an archive into `writer` under their new paths, with their permissions
// and times: a folder (solid block) whose every file is kept is copied packed as it is, the
// other entries are decoded and written again block by block. `listed` is the archive's listing
// taken when the edit began: an entry that differs from it, or is not met again, throws
// archiveChanged. Encrypted entries are read with `password` (its variants tried). Returns what the
// new archive must hold for the kept entries (new path -> item, CRC-32). Advances the progress by
// max(size, 1) per kept entry.
ReadBackEntries copySevenZipEntries(const std::vector<std::filesystem::path>& volumes,
                                    const std::vector<ArchiveItem>& listed,
                                    const SevenZipPathChange& change, SevenZipArchiveWriter& writer,
                                    Progress& progress, const std::optional<std::string>& password);

// Writes every collected source (files and folders on disk, read without following links)
// under its entry path. Advances the progress by max(size, 1) per entry. A file that no longer
// holds its collected size throws sevenZipFailure naming the entry.
void writeSevenZipSources(const SourceEntryMap& sources, SevenZipArchiveWriter& writer,
                          Progress& progress);

} // namespace vexa
