#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RAREditor.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"

namespace vexa {

namespace {

// The program's repair command writes its output beside the damaged file under these names.
constexpr const char* kDamagedName = "dañado.rar";
constexpr const char* kFixedName = "fixed.dañado.rar";
constexpr const char* kRebuiltName = "rebuilt.dañado.rar";

// Only archives with hidden names are repaired with a password, so the data of an archive
// that encrypts only its data cannot be tested; its headers are still read completely.
bool isUntestableWithoutPassword(const ArchiveFailure& failure,
                                 const std::optional<std::string>& password) {
    return !password && failure.kind() == ArchiveFailure::Case::passwordRequired;
}

} // namespace

std::pair<std::filesystem::path, bool> RAREditor::repair(const std::filesystem::path& damaged,
                                                         const std::filesystem::path& destination,
                                                         Progress& progress) const {
    if (!executable)
        throw ArchiveFailure::readOnlyRAR();
    // A repair makes a copy: the damaged file itself, under any name, is never its destination.
    const auto damagedFile = files::targetAttributesIfExists(damaged);
    const auto destinationFile = files::targetAttributesIfExists(destination);
    if (damagedFile && destinationFile && damagedFile->fileNumber == destinationFile->fileNumber &&
        damagedFile->deviceNumber == destinationFile->deviceNumber)
        throw ArchiveFailure::rarEdit(
            "elige otro nombre para la copia reparada; el RAR dañado no se sustituye.");
    files::GuardedReplacement replacement(destination, progress, {}, {damaged});
    const auto& work = replacement.folder();
    files::copyItem(damaged, work / kDamagedName);
    progress.setTotalUnitCount(2);

    const auto command = RARCommand::forEditing(*executable);
    std::vector<std::string> arguments{"r", "-w" + work.string()};
    if (password)
        arguments.push_back("-p");
    arguments.push_back(kDamagedName);
    try {
        command.runRARCommand(arguments, work, password, 1, progress);
    } catch (const ArchiveFailure& failure) {
        // The program also reports failure when it could only save part of the archive.
        if (failure.kind() != ArchiveFailure::Case::rarEdit ||
            (!files::fileExists(work / kFixedName) && !files::fileExists(work / kRebuiltName)))
            throw;
    }

    const bool fixed = files::fileExists(work / kFixedName);
    const auto result = work / (fixed ? kFixedName : kRebuiltName);
    if (!files::fileExists(result))
        throw ArchiveFailure::rarEdit("no se pudo reparar el archivo.");

    if (!fixed) {
        std::vector<std::string> stillDamaged;
        try {
            Progress testProgress;
            stillDamaged = RARArchiveEngine::damagedEntries(result, testProgress, password);
        } catch (const ArchiveFailure& failure) {
            if (!isUntestableWithoutPassword(failure, password))
                throw;
        }
        if (!stillDamaged.empty()) {
            for (const auto& path : stillDamaged)
                rejectWildcardNames(path);
            std::vector<std::string> deletion{"d", "-w" + work.string()};
            if (password)
                deletion.push_back("-p");
            deletion.push_back(kRebuiltName);
            // Names from a damaged archive must never be read as switches.
            deletion.push_back("--");
            for (const auto& path : stillDamaged)
                deletion.push_back(path.ends_with('/') ? path.substr(0, path.size() - 1) : path);
            command.runRARCommand(deletion, work, password, 0, progress);
        }
    }

    try {
        Progress readProgress;
        RARArchiveEngine::entryChecksums(result, readProgress, password, false);
    } catch (const ArchiveFailure& failure) {
        if (!isUntestableWithoutPassword(failure, password))
            throw;
        Progress listProgress;
        RARArchiveEngine().list(result, listProgress);
    }
    progress.setCompletedUnitCount(2);
    replacement.place(result);
    return {destination, fixed};
}

} // namespace vexa
