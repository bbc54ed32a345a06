#include "engines/rar/RARCreator.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/FolderNames.h"
#include "core/archive/RarLocator.h"
#include "core/archive/SourceChecksums.h"
#include "core/archive/SourceEntries.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARCommand.h"
#include "engines/rar/RARSourceLinks.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <set>

namespace vexa {

namespace {

constexpr std::int64_t minimumSplitSize = 65536;

bool isVolumeOne(std::string_view number) {
    if (number.empty() ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto nonZero = number.find_first_not_of('0');
    return nonZero != std::string_view::npos && number.substr(nonZero) == "1";
}

// "Viaje — partes", then "Viaje — partes 2", "… 3": the first name not taken beside it.
std::filesystem::path freePartsFolder(const std::filesystem::path& destination) {
    const std::string base = paths::nameDeletingExtension(paths::lastPathComponent(destination));
    const auto parent = paths::deletingLastPathComponent(destination);
    const std::string name = base + " \xE2\x80\x94 partes";
    auto candidate = parent / name;
    for (int number = 2; files::fileExists(candidate); ++number)
        candidate = parent / (name + " " + std::to_string(number));
    return candidate;
}

} // namespace

std::filesystem::path RARCreator::firstVolume(const std::filesystem::path& folder,
                                              const std::filesystem::path& archive) {
    const std::string prefix =
        paths::nameDeletingExtension(paths::lastPathComponent(archive)) + ".part";
    const std::string suffix = ".rar";
    for (const std::string& name : folderChildNames(folder)) {
        if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(suffix))
            continue;
        const std::string_view number = std::string_view(name).substr(
            prefix.size(), name.size() - prefix.size() - suffix.size());
        if (isVolumeOne(number))
            return folder / name;
    }
    return archive;
}

std::filesystem::path RARCreator::create(const std::vector<std::filesystem::path>& sources,
                                         const std::filesystem::path& destination, bool compress,
                                         Progress& progress) const {
    const std::optional<std::filesystem::path> executable =
        selectedExecutable ? selectedExecutable : locateRARExecutable();
    if (!executable)
        throw ArchiveFailure::rarCreation(
            "Para crear RAR, instala y activa el comando RAR oficial en este equipo.");
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    if (splitSize != 0 && splitSize < minimumSplitSize)
        throw ArchiveFailure::unsupported();
    if (level && (*level < lowestLevel || *level > highestLevel))
        throw ArchiveFailure::unsupported();

    std::optional<std::filesystem::path> sfxModule;
    if (selfExtracting) {
        if (splitSize != 0 || text::lowercased(paths::pathExtension(destination)) != "sfx")
            throw ArchiveFailure::unsupported();
        sfxModule = locateSFXModule();
        if (!sfxModule)
            throw ArchiveFailure::rarCreation(
                "falta el módulo de autoextraíbles (default.sfx) del programa RAR.");
    }

    validateRARPassword(password, ArchiveFailure::Case::rarCreation);
    // The form the program and the read-back both get, whatever form the keyboard produced.
    const std::optional<std::string> composedPassword =
        password ? std::optional(text::nfc(*password)) : std::nullopt;

    std::vector<std::pair<std::filesystem::path, std::string>> pairs;
    for (const auto& source : sources)
        pairs.emplace_back(source, paths::lastPathComponent(source));

    std::set<std::string> duplicateKeys;
    SourceEntryMap entries;
    std::int64_t units = 0;
    std::vector<std::string> sidecars;
    for (const auto& [source, name] : pairs) {
        if (liesWithinSource(destination, source))
            throw ArchiveFailure::rarCreation(
                "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.");
        collectSourceEntries(source, name, progress, duplicateKeys, entries, units,
                             {ArchiveFormat::rar, keepSidecars, &sidecars});
    }

    files::GuardedReplacement replacement(destination, progress);
    const auto& workFolder = replacement.folder();
    const auto partsFolder = workFolder / "partes";
    // A split result is moved out as this very folder: the user's own folder, not a private one.
    files::createDirectory(partsFolder, 0755);
    const auto output = partsFolder / paths::lastPathComponent(destination);

    progress.setTotalUnitCount(3 * units);
    // Declared after the work folder's removal, so it is removed first.
    files::ScopedRemoval linksRemoval(stageSourcesAsLinks(pairs));

    // Without a quick-open record: libunrar rereads that record after every entry it tests,
    // which made the read-back below several times slower than the archiving itself.
    std::vector<std::string> arguments{"a", "-r", "-qo-"};
    // The program sees the links folder, where each entry path is also the file's path.
    for (const std::string& sidecar : sidecars)
        arguments.push_back("-x" + sidecar);
    arguments.push_back("-w" + workFolder.string());
    arguments.push_back("-m" + std::to_string(level ? *level : (compress ? 3 : 0)));
    if (splitSize > 0)
        arguments.push_back("-v" + std::to_string(splitSize) + "b");
    if (composedPassword)
        arguments.push_back(encryptNames ? "-hp" : "-p");
    if (sfxModule)
        arguments.push_back("-sfx" + sfxModule->string());
    if (recoveryRecord)
        arguments.push_back("-rr5%");
    arguments.push_back(output.string());
    arguments.push_back("*");

    // The sources are hashed while the program runs, and looked at again while its result is
    // read back; the check then reads only what changed.
    SourceChecksums checksums(entries, progress);
    RARCommand::forCreation(*executable)
        .runRARCommand(arguments, linksRemoval.location(), composedPassword, units, progress);
    checksums.writerEnded();

    const auto written = firstVolume(partsFolder, output);
    const auto readBack =
        RARArchiveEngine::entryChecksums(written, progress, composedPassword, false);
    const bool samePaths = std::equal(
        readBack.begin(), readBack.end(), entries.begin(), entries.end(),
        [](const auto& archived, const auto& source) { return archived.first == source.first; });
    if (!samePaths)
        throw ArchiveFailure::rarCreation(kContentMismatchMessage);
    verifyRARAgainstSources(readBack, entries, progress, ArchiveFailure::Case::rarCreation,
                            &checksums);

    if (splitSize > 0) {
        const auto placed = freePartsFolder(destination);
        replacement.place(partsFolder, placed);
        return placed / paths::lastPathComponent(written);
    }
    replacement.place(output);
    return destination;
}

} // namespace vexa
