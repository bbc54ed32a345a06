#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARCreator.h"
#include "engines/rar/RAREditor.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>

namespace vexa {

std::filesystem::path RAREditor::saveAsSingleArchive(const std::filesystem::path& archive,
                                                     const std::filesystem::path& destination,
                                                     Progress& progress) const {
    std::optional<std::string> workingPassword;
    {
        Progress checkProgress;
        workingPassword = RARArchiveEngine::verifyPassword(archive, checkProgress, password, false);
    }
    const bool hidesNames = rarArchiveHidesNames(archive);
    bool hasRecoveryRecord = false;
    {
        Progress listProgress;
        const ArchiveSummary summary =
            RARArchiveEngine(workingPassword, false).list(archive, listProgress);
        hasRecoveryRecord = summary.hasRecoveryRecord;
        // Writing over one part of the set would orphan the others.
        const std::filesystem::path destinationPath = paths::resolvingSymlinks(destination);
        std::vector<std::filesystem::path> parts = summary.volumes;
        parts.push_back(archive);
        for (const std::filesystem::path& part : parts)
            if (paths::resolvingSymlinks(part) == destinationPath)
                throw ArchiveFailure::sourceIsArchive();
    }

    // The creation below puts the new archive in place under this same lock.
    files::GuardedReplacement folder(destination, progress, {}, {archive});
    progress.setTotalUnitCount(2);
    auto extraction = Progress::make(1);
    progress.addChild(extraction, 1);
    std::filesystem::path extracted;
    try {
        extracted = RARArchiveEngine(workingPassword, false)
                        .extract(archive, {}, folder.folder(), *extraction);
    } catch (const PlatformError& failure) {
        // The entries are written out only to build the new archive: a write that fails there
        // (a full disk) is the new archive's, not the entry's the user never asked for.
        const std::string work = folder.folder().string() + "/";
        if (!failure.path().starts_with(work))
            throw;
        throw PlatformError(failure.code(), destination.string(), failure.errorNumber());
    }

    // The extraction puts everything into one folder named after the archive; its contents,
    // not the folder, are the new archive's items, so every entry keeps its path.
    std::vector<std::filesystem::path> sources;
    std::error_code error;
    for (std::filesystem::directory_iterator it(extracted, error), end; !error && it != end;
         it.increment(error))
        sources.push_back(it->path());
    if (error)
        throw PlatformError::fromErrno(error.value(), extracted.string(), false);
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    std::sort(sources.begin(), sources.end());

    auto creation = Progress::make(1);
    progress.addChild(creation, 1);
    RARCreator creator;
    creator.selectedExecutable = executable;
    creator.splitSize = 0;
    creator.password = workingPassword;
    creator.encryptNames = hidesNames;
    creator.level = std::nullopt;
    creator.selfExtracting = false;
    creator.recoveryRecord = hasRecoveryRecord;
    creator.keepSidecars = true;
    return creator.create(sources, destination, true, *creation);
}

} // namespace vexa
