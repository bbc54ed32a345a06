#pragma once

#include "core/archive/ArchiveItem.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace vexa {

// Writes one entry of `archive` to exactly `destination` with the engine the file's name (and,
// for numbered parts and self-extracting files, its first bytes) selects: 7z, TAR, RAR, else
// ZIP. An entry larger than `limit` fails with ArchiveFailure::previewTooLarge. The preview and
// the drag to the file manager both come through here. Runs on a background task.
void extractSingleEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit,
                        const std::optional<std::string>& password);

} // namespace vexa
