#pragma once

#include "core/archive/SourceEntries.h"
#include "platform/Progress.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// Every entry of a written 7z archive with zlib's CRC-32 of its data, read in full through the
// 7z reader (folders without one). Advances the progress by max(size, 1) per entry. Throws the
// reader's failures or CancellationError. An encrypted archive is read with exactly `password`.
ReadBackEntries readSevenZipBack(const std::vector<std::filesystem::path>& volumes,
                                 Progress& progress,
                                 const std::optional<std::string>& password = std::nullopt);

// True when both hold the same paths with the same kind, size and CRC-32.
bool sameSevenZipContent(const ReadBackEntries& expected, const ReadBackEntries& actual);

} // namespace vexa
