#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPWriter.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"

namespace vexa {

std::filesystem::path ZIPArchiveEngine::create(const std::vector<std::filesystem::path>& sources,
                                               const std::filesystem::path& destination,
                                               bool useCompression, Progress& progress) const {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    if (splitSize != 0 && splitSize < 65536)
        throw ArchiveFailure::unsupported();

    std::vector<ZIPSourceEntry> entries;
    for (const std::filesystem::path& source : sources) {
        std::vector<ZIPSourceEntry> walked =
            enumerateSources(source, paths::lastPathComponent(source), progress);
        entries.insert(entries.end(), std::make_move_iterator(walked.begin()),
                       std::make_move_iterator(walked.end()));
    }
    checkListing(plannedItems(entries), false);

    const std::filesystem::path resolvedDestination = paths::resolvingSymlinks(destination);
    const std::filesystem::path destinationName = resolvedDestination.filename();
    for (const ZIPSourceEntry& entry : entries)
        // No source is a link, so resolving one keeps its own name: only a source named like
        // the destination can be it, and resolving every path would cost more than the write.
        if (entry.url.filename() == destinationName &&
            paths::resolvingSymlinks(entry.url) == resolvedDestination)
            throw ArchiveFailure::sourceIsArchive();
    // The walk meets only a destination that exists already; a new archive placed inside a
    // chosen folder is refused as well.
    for (const std::filesystem::path& source : sources)
        if (liesWithinSource(destination, source))
            throw ArchiveFailure::sourceIsArchive();

    files::GuardedReplacement replacement(destination, progress);
    const std::filesystem::path& temporary = replacement.folder();
    const std::string archiveName = paths::lastPathComponent(destination);
    const std::filesystem::path temporaryArchive = temporary / archiveName;

    {
        ZIPWriter writer(temporaryArchive, splitSize);
        progress.setTotalUnitCount(static_cast<std::int64_t>(entries.size()));
        addFiles(entries, writer, useCompression, progress);
        writer.close();
    }

    Progress verification;
    listArchive(temporaryArchive, verification);

    if (splitSize > 0) {
        const std::string folderName =
            paths::nameDeletingExtension(archiveName) + " \xE2\x80\x94 partes";
        const std::filesystem::path folder =
            availableURL(folderName, paths::deletingLastPathComponent(destination));
        // The replacement folder is private while it is built; the parts folder is the user's.
        files::setPermissions(temporary, 0755);
        replacement.place(temporary, folder);
        return folder / archiveName;
    }

    replacement.place(temporaryArchive);
    return destination;
}

} // namespace vexa
