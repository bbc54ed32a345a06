#include "engines/rar/RARArchiveEditor.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/RarLocator.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARCreator.h"
#include "engines/rar/RAREditor.h"

namespace vexa {

RAREditor RARArchiveEditor::rarEditor() const {
    return RAREditor{password(), locateRARExecutable()};
}

CreationAbilities RARArchiveEditor::creationAbilities() const {
    return {true, true, true, true, RARCreator::lowestLevel, RARCreator::highestLevel};
}

std::filesystem::path RARArchiveEditor::create(const CreationRequest& request,
                                               Progress& progress) const {
    RARCreator creator;
    creator.selectedExecutable = request.rarProgram;
    creator.splitSize = request.splitSize;
    creator.password = request.password;
    creator.encryptNames = request.hideNames;
    creator.level = creatorLevel(request.level);
    creator.selfExtracting = request.selfExtracting;
    creator.recoveryRecord = request.recoveryRecord;
    return creator.create(request.sources, request.destination, request.useCompression, progress);
}

std::filesystem::path RARArchiveEditor::rename(const std::filesystem::path& archive,
                                               const ArchiveItem& item, const std::string& newName,
                                               Progress& progress) const {
    const RAREditor editor = rarEditor();
    checkNewEntryName(newName);
    return editor.rename(archive, progress, item, newName);
}

std::filesystem::path RARArchiveEditor::deleteEntries(const std::filesystem::path& archive,
                                                      const std::set<std::string>& paths,
                                                      Progress& progress) const {
    if (paths.empty())
        throw ArchiveFailure::emptySelection();
    return rarEditor().deleteEntries(archive, progress, paths);
}

std::filesystem::path RARArchiveEditor::add(const std::filesystem::path& archive,
                                            const std::vector<std::filesystem::path>& sources,
                                            const std::string& folder, ArchiveConflictPolicy policy,
                                            Progress& progress) const {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    return rarEditor().add(
        archive, progress,
        [&sources, &folder, &archive, policy, &progress](const RAREditor::Context& context) {
            return RAREditor::addFiles(context, folder, sources, archive, policy,
                                       context.progress ? *context.progress : progress);
        });
}

void RARArchiveEditor::saveAsSingle(const std::filesystem::path& archive,
                                    const std::filesystem::path& destination,
                                    Progress& progress) const {
    rarEditor().saveAsSingleArchive(archive, destination, progress);
}

void RARArchiveEditor::extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                                    const std::filesystem::path& destination, Progress& progress,
                                    std::optional<std::int64_t> limit) const {
    RARArchiveEngine::extractEntry(entry, archive, destination, progress, limit, password(), false);
}

std::pair<std::filesystem::path, bool>
RARArchiveEditor::repair(const std::filesystem::path& damaged,
                         const std::filesystem::path& destination, Progress& progress) const {
    const RAREditor editor = rarEditor();
    return editor.repair(damaged, destination, progress);
}

bool RARArchiveEditor::hidesNames(const std::filesystem::path& archive) const {
    return rarArchiveHidesNames(archive);
}

} // namespace vexa
