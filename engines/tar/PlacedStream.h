#pragma once

#include "ByteSource.h"
#include "ExtractionTree.h"
#include "ExtractionWriters.h"
#include "TarPlacement.h"
#include "core/archive/ArchiveItem.h"
#include "platform/Progress.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa::tar {

// Where a chosen entry goes below the tree's root; none for an entry that is not chosen.
using ChosenName = std::function<std::optional<std::string>(const ArchiveItem&)>;

// Writes the chosen entries of an archive whose listing placed every entry, reading its decoded
// stream once from the start and cutting each chosen entry's data where the listing found it:
// the headers are not parsed again, their bytes are compared with the listing's instead
// (ArchiveFailure::archiveChanged when they differ). Folders are made, files handed to the
// writers. The pass ends once `wanted` entries are written.
void extractAlongPlaces(LendingSource& stream, const std::vector<ArchiveItem>& entries,
                        const TarPlacements& places, const ChosenName& chosen, std::size_t wanted,
                        ExtractionTree& tree, ExtractionWriters& writers, Progress& progress);

} // namespace vexa::tar
