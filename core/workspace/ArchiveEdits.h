#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "platform/Progress.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The model's edits, handed to the editor of the archive's format. They run in the background
// with copies and return the location of the edited archive.
namespace vexa {

std::filesystem::path renameInArchive(const ArchiveSummary& summary,
                                      const std::optional<std::string>& password,
                                      Progress& progress, const ArchiveItem& item,
                                      const std::string& newName);

// Folders go with everything below them. An empty set fails with emptySelection, or as the
// format's editor answers it.
std::filesystem::path deleteFromArchive(const ArchiveSummary& summary,
                                        const std::optional<std::string>& password,
                                        Progress& progress, const std::set<std::string>& paths);

// Adds `sources` into `folder` ("" for the root, else ending in "/"); repeated names follow
// `policy` (with `ask`, ArchiveFailure::conflict names the first one).
std::filesystem::path addToArchive(const ArchiveSummary& summary,
                                   const std::optional<std::string>& password, Progress& progress,
                                   const std::vector<std::filesystem::path>& sources,
                                   const std::string& folder, ArchiveConflictPolicy policy);

// The archive listed again by the engine its content calls for, on a progress of its own.
ArchiveSummary relistArchive(const std::filesystem::path& archive,
                             const std::optional<std::string>& password);

} // namespace vexa
