#include "core/workspace/SingleEntryExtraction.h"

#include "core/archive/ExtractionSpace.h"
#include "engines/EngineFactory.h"

namespace vexa {

void extractSingleEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit,
                        const std::optional<std::string>& password) {
    if (!entry.isDirectory && entry.size > 0)
        ensureRoomForExtraction(static_cast<std::uint64_t>(entry.size), destination.parent_path());
    // Detected as makeArchiveEngine detects, so an entry comes from the engine that listed it.
    makeArchiveEditor(detectArchiveFormat(archive), password)
        ->extractEntry(entry, archive, destination, progress, limit);
}

} // namespace vexa
