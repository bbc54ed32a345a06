#include "core/workspace/EditableCopy.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/RarLocator.h"
#include "engines/rar/RAREditor.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/Paths.h"

namespace vexa {

namespace {

void saveZIPCopy(const std::filesystem::path& archive, const std::filesystem::path& destination,
                 Progress& progress) {
    ZIPArchiveEngine engine(std::nullopt);
    engine.splitSize = 0;
    engine.bufferSize = 262144;
    const auto listingProgress = Progress::make();
    const ArchiveSummary listing = engine.list(archive, *listingProgress);
    // Compared through links, so a link to a part counts as the part.
    const auto target = paths::resolvingSymlinks(destination);
    for (const auto& volume : listing.volumes)
        if (paths::resolvingSymlinks(volume) == target)
            throw ArchiveFailure::sourceIsArchive();
    const std::string fingerprint = ZIPArchiveEngine::snapshot(archive);
    engine.rewrite(archive, listing.entries, {}, {}, progress, fingerprint, destination);
}

} // namespace

void saveEditableCopy(ArchiveFormat format, const std::filesystem::path& archive,
                      const std::filesystem::path& destination, Progress& progress,
                      const std::optional<std::string>& password) {
    switch (format) {
    case ArchiveFormat::zip:
        saveZIPCopy(archive, destination, progress);
        return;
    case ArchiveFormat::rar:
        RAREditor{password, locateRARExecutable()}.saveAsSingleArchive(archive, destination,
                                                                       progress);
        return;
    case ArchiveFormat::sevenZip:
        SevenZipWriter::saveAsSingle(archive, destination, progress, password);
        return;
    case ArchiveFormat::tar:
        break;
    }
    throw ArchiveFailure::unsupportedTar("");
}

} // namespace vexa
