#pragma once

#include "core/archive/ArchiveFormat.h"
#include "platform/Progress.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vexa {

// Writes the archive (typically a split set) as one ordinary archive of the same format at
// `destination`, through the format's editor (ArchiveEditor::saveAsSingle): ZIP entries are
// copied still encrypted, so ZIP needs no password; a destination that is one of the set's own
// parts fails with sourceIsArchive. TAR fails with unsupportedTar: TAR archives are never split.
void saveEditableCopy(ArchiveFormat format, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress,
                      const std::optional<std::string>& password);

} // namespace vexa
