#include "engines/tar/TarArchiveEditor.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/tar/TarArchiveEngine.h"

namespace vexa {

CreationAbilities TarArchiveEditor::creationAbilities() const {
    return {.level = true,
            .lowestLevel = TarArchiveEngine::lowestLevel,
            .highestLevel = TarArchiveEngine::highestLevel};
}

std::filesystem::path TarArchiveEditor::create(const CreationRequest& request,
                                               Progress& progress) const {
    return TarArchiveEngine().create(request.sources, request.destination, progress,
                                     request.tarCompression, creatorLevel(request.tarLevel),
                                     request.singleFile);
}

std::filesystem::path TarArchiveEditor::rename(const std::filesystem::path& archive,
                                               const ArchiveItem& item, const std::string& newName,
                                               Progress& progress) const {
    return TarArchiveEngine().rename(archive, progress, item, newName);
}

std::filesystem::path TarArchiveEditor::deleteEntries(const std::filesystem::path& archive,
                                                      const std::set<std::string>& paths,
                                                      Progress& progress) const {
    return TarArchiveEngine().deleteEntries(archive, paths, progress);
}

std::filesystem::path TarArchiveEditor::add(const std::filesystem::path& archive,
                                            const std::vector<std::filesystem::path>& sources,
                                            const std::string& folder, ArchiveConflictPolicy policy,
                                            Progress& progress) const {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    return TarArchiveEngine().add(
        archive, progress,
        [&sources, &folder, policy](const ArchiveSummary& listing, Progress& planProgress) {
            return TarArchiveEngine::collectSources(sources, folder, policy, listing, planProgress);
        });
}

void TarArchiveEditor::saveAsSingle(const std::filesystem::path&, const std::filesystem::path&,
                                    Progress&) const {
    throw ArchiveFailure::unsupportedTar("");
}

void TarArchiveEditor::extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                                    const std::filesystem::path& destination, Progress& progress,
                                    std::optional<std::int64_t> limit) const {
    TarArchiveEngine().extractPayload(entry, archive, destination, progress, limit);
}

} // namespace vexa
