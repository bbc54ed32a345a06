#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveWriter.h"
#include "engines/sevenzip/SevenZipEntryCopy.h"
#include "engines/sevenzip/SevenZipPlacement.h"
#include "engines/sevenzip/SevenZipReadBack.h"
#include "engines/sevenzip/SevenZipVolumes.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

constexpr std::int64_t minimumVolumeSize = 65536;

// "<name> — partes", or the first free "<name> — partes N" from 2 on.
std::filesystem::path freePartsFolder(const std::filesystem::path& destination) {
    const auto parent = paths::deletingLastPathComponent(destination);
    const std::string base =
        paths::lastPathComponent(paths::deletingPathExtension(destination)) + " — partes";
    std::filesystem::path candidate = parent / base;
    for (int counter = 2; files::fileExists(candidate); ++counter)
        candidate = parent / (base + " " + std::to_string(counter));
    return candidate;
}

} // namespace

std::filesystem::path SevenZipWriter::create(const std::vector<std::filesystem::path>& sources,
                                             const std::filesystem::path& destination,
                                             Progress& progress, std::int64_t volumeSize,
                                             const std::optional<std::string>& password,
                                             bool encryptHeaders, int level) {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    if ((volumeSize != 0 && volumeSize < minimumVolumeSize) || level < lowestLevel ||
        level > highestLevel)
        throw ArchiveFailure::unsupported7z();

    std::set<std::string> duplicateKeys;
    SourceEntryMap entries;
    std::int64_t units = 0;
    for (const auto& source : sources) {
        if (liesWithinSource(destination, source))
            throw ArchiveFailure::sevenZipFailure(kSevenZipInsideSourceMessage);
        collectSourceEntries(source, paths::lastPathComponent(source), progress, duplicateKeys,
                             entries, units,
                             {.format = ArchiveFormat::sevenZip, .utf8Names = true});
    }
    duplicateKeys.clear(); // only the walk needs them, and the encoders want the memory

    files::GuardedReplacement replacement(destination, progress);
    auto output = replacement.folder() / paths::lastPathComponent(destination);
    const auto partsFolder = replacement.folder() / "partes";
    if (volumeSize > 0) {
        files::createDirectory(partsFolder, 0755);
        output = partsFolder / paths::lastPathComponent(destination);
    }
    progress.setTotalUnitCount(3 * units);

    std::vector<std::filesystem::path> parts;
    {
        SevenZipArchiveWriter writer(output, volumeSize, level, password, encryptHeaders, progress,
                                     static_cast<std::uint64_t>(units));
        writeSevenZipSources(entries, writer, progress);
        writer.finish();
        parts = writer.parts();
    }
    const auto readBack = readSevenZipBack(parts, progress, password);
    checkSevenZipReadBack(readBack, {}, entries, progress, kSevenZipSourcesMismatchMessage);

    if (volumeSize > 0) {
        const auto folder = freePartsFolder(destination);
        replacement.place(partsFolder, folder);
        return folder / paths::lastPathComponent(parts.front());
    }
    replacement.place(output);
    return destination;
}

void SevenZipWriter::saveAsSingle(const std::filesystem::path& archive,
                                  const std::filesystem::path& destination, Progress& progress,
                                  const std::optional<std::string>& password) {
    progress.throwIfCancelled();
    const auto destinationPath = paths::resolvingSymlinks(destination);
    for (const auto& part : sevenZipVolumes(archive))
        if (paths::resolvingSymlinks(part) == destinationPath)
            throw ArchiveFailure::sourceIsArchive();

    SevenZipArchiveEngine engine(password);
    const ArchiveSummary summary = engine.list(archive, progress);
    const auto protection = sevenZipProtectionOf(summary.volumes, password, progress);
    std::int64_t units = 0;
    for (const auto& item : summary.entries)
        units += std::max<std::int64_t>(item.size, 1);
    progress.setTotalUnitCount(3 * units);

    files::GuardedReplacement replacement(destination, progress, {}, {archive});
    const auto output = replacement.folder() / paths::lastPathComponent(destination);
    ReadBackEntries expected;
    {
        SevenZipArchiveWriter writer(output, 0,
                                     sevenZipRewriteLevel(summary.volumes, summary.entries),
                                     protection.password, protection.encryptHeaders, progress);
        expected = copySevenZipEntries(
            summary.volumes, summary.entries,
            [](const ArchiveItem& item) { return std::optional<std::string>(item.path); }, writer,
            progress, password);
        writer.finish();
    }
    const auto readBack = readSevenZipBack({output}, progress, protection.password);
    checkSevenZipReadBack(readBack, expected, {}, progress, kSevenZipOriginalMismatchMessage);
    progress.addCompletedUnits(units);
    replacement.place(output);
}

} // namespace vexa
