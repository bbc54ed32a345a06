#include "core/workspace/SingleEntryExtraction.h"

#include "core/archive/ExtractionSpace.h"
#include "core/archive/TarCompression.h"
#include "engines/FormatDetection.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEngine.h"

namespace vexa {

void extractSingleEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit,
                        const std::optional<std::string>& password) {
    if (!entry.isDirectory && entry.size > 0)
        ensureRoomForExtraction(static_cast<std::uint64_t>(entry.size), destination.parent_path());
    // The same order as makeArchiveEngine, so an entry comes from the engine that listed it.
    if (isSevenZipArchive(archive)) {
        SevenZipArchiveEngine engine;
        engine.extractPayload(entry, archive, destination, progress, limit, password, false);
    } else if (detectTarCompression(archive)) {
        TarArchiveEngine engine;
        engine.extractPayload(entry, archive, destination, progress, limit);
    } else if (isRARArchive(archive)) {
        RARArchiveEngine::extractEntry(entry, archive, destination, progress, limit, password,
                                       false);
    } else {
        ZIPArchiveEngine engine(password);
        engine.splitSize = 0;
        engine.resolved.reset();
        engine.bufferSize = 262144;
        engine.extractPayload(entry, archive, destination, progress, limit);
    }
}

} // namespace vexa
