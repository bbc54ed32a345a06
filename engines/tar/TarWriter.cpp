#include "ArchiveWriteHandle.h"
#include "SourceEntryWriter.h"
#include "TarArchiveEngine.h"
#include "TarOutputCheck.h"
#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceChecksums.h"
#include "core/archive/SourceEntries.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"

#include <optional>
#include <vector>

namespace vexa {

namespace {

using std::filesystem::path;

const char* const insideSourceMessage =
    "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.";
const char* const tarMismatchMessage =
    "el contenido del TAR no coincide con los archivos seleccionados.";
const char* const singleMismatchMessage = "el contenido no coincide con el archivo seleccionado.";

void checkTar(const ReadBackEntries& archived, const SourceEntryMap& sources,
              SourceChecksums& checksums, Progress& progress) {
    bool samePaths = archived.size() == sources.size() &&
                     std::equal(archived.begin(), archived.end(), sources.begin(),
                                [](const auto& a, const auto& b) { return a.first == b.first; });
    if (!samePaths)
        throw ArchiveFailure::tarFailure(tarMismatchMessage);
    verifyRARAgainstSources(archived, sources, progress, ArchiveFailure::Case::tarFailure,
                            &checksums);
}

void checkSingle(const ReadBackEntries& archived, const RARSourceEntry& source,
                 Progress& progress) {
    if (archived.size() != 1)
        throw ArchiveFailure::tarFailure(singleMismatchMessage);
    const auto& [item, crc] = archived.begin()->second;
    if (item.isDirectory || item.size != source.size || !crc ||
        *crc != crc32OfFile(source.url, progress))
        throw ArchiveFailure::tarFailure(singleMismatchMessage);
    if (source.size == 0)
        progress.addCompletedUnits(1);
}

} // namespace

path TarArchiveEngine::create(const std::vector<path>& sources, const path& destination,
                              Progress& progress, TarCompression compression, int level,
                              bool singleFile) {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    if (level < lowestLevel || level > highestLevel)
        throw ArchiveFailure::unsupportedTar("");
    if (singleFile && (sources.size() != 1 || compression == TarCompression::none))
        throw ArchiveFailure::unsupportedTar("");

    // Only the walk needs the keys, but they are let go at the end: tens of thousands of small
    // blocks freed before the writer's first large allocation cost it 30 ms of the allocator's
    // merging them.
    std::set<std::string> duplicateKeys;
    SourceEntryMap entries;
    std::int64_t units = 0;
    for (const path& source : sources) {
        if (liesWithinSource(destination, source))
            throw ArchiveFailure::tarFailure(insideSourceMessage);
        collectSourceEntries(source, paths::lastPathComponent(source), progress, duplicateKeys,
                             entries, units, {ArchiveFormat::tar});
    }
    // The raw format holds the bytes of one file and nothing of a folder.
    if (singleFile && entries.begin()->second.isDirectory)
        throw ArchiveFailure::unsupportedTar("");

    progress.setTotalUnitCount(3 * units);
    progress.setCompletedUnitCount(0);
    files::GuardedReplacement replacement(destination, progress);
    path output = replacement.folder() / tar::workFileName(compression, singleFile);
    ReadBackEntries archived;
    // The sources are hashed as the writer reads them; a file that changed by the end of the
    // writing is hashed again (see SourceChecksums).
    std::optional<SourceChecksums> checksums;
    if (!singleFile)
        checksums.emplace(entries, progress, SourceChecksums::defaultSettled,
                          SourceChecksums::Early::offered);
    {
        tar::GrowingFile growing;
        tar::ArchiveWriteHandle writer(output,
                                       singleFile ? tar::ArchiveWriteHandle::Content::raw
                                                  : tar::ArchiveWriteHandle::Content::tar,
                                       compression, level, &growing);
        // The archive is read back as it is written.
        tar::ReadBackWhileWriting check(
            output, progress, singleFile ? singleMismatchMessage : tarMismatchMessage, growing);
        tar::writeSourceEntries(writer, entries, progress, checksums ? &*checksums : nullptr);
        writer.finish();
        if (checksums)
            checksums->writerEnded();
        archived = check.result();
    }

    if (singleFile)
        checkSingle(archived, entries.begin()->second, progress);
    else
        checkTar(archived, entries, *checksums, progress);
    replacement.place(output);
    return destination;
}

} // namespace vexa
