#include "engines/sevenzip/SevenZipArchiveEditor.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/sevenzip/SevenZipWriter.h"

namespace vexa {

CreationAbilities SevenZipArchiveEditor::creationAbilities() const {
    return {true, true, true, true, SevenZipWriter::lowestLevel, SevenZipWriter::highestLevel};
}

std::filesystem::path SevenZipArchiveEditor::create(const CreationRequest& request,
                                                    Progress& progress) const {
    return SevenZipWriter::create(request.sources, request.destination, progress, request.splitSize,
                                  request.password, request.hideNames, creatorLevel(request.level));
}

std::filesystem::path SevenZipArchiveEditor::rename(const std::filesystem::path& archive,
                                                    const ArchiveItem& item,
                                                    const std::string& newName,
                                                    Progress& progress) const {
    checkNewEntryName(newName);
    return SevenZipWriter::rename(archive, item, newName, password(), progress);
}

std::filesystem::path SevenZipArchiveEditor::deleteEntries(const std::filesystem::path& archive,
                                                           const std::set<std::string>& paths,
                                                           Progress& progress) const {
    return SevenZipWriter::deleteEntries(archive, paths, password(), progress);
}

std::filesystem::path SevenZipArchiveEditor::add(const std::filesystem::path& archive,
                                                 const std::vector<std::filesystem::path>& sources,
                                                 const std::string& folder,
                                                 ArchiveConflictPolicy policy,
                                                 Progress& progress) const {
    if (sources.empty())
        throw ArchiveFailure::emptySelection();
    return SevenZipWriter::add(
        archive, password(), progress,
        [&sources, &folder, policy](const ArchiveSummary& listed, Progress& planProgress) {
            return SevenZipWriter::collectSources(sources, folder, policy, listed, planProgress);
        });
}

void SevenZipArchiveEditor::saveAsSingle(const std::filesystem::path& archive,
                                         const std::filesystem::path& destination,
                                         Progress& progress) const {
    SevenZipWriter::saveAsSingle(archive, destination, progress, password());
}

void SevenZipArchiveEditor::extractEntry(const ArchiveItem& entry,
                                         const std::filesystem::path& archive,
                                         const std::filesystem::path& destination,
                                         Progress& progress,
                                         std::optional<std::int64_t> limit) const {
    SevenZipArchiveEngine engine;
    engine.extractPayload(entry, archive, destination, progress, limit, password(), false);
}

} // namespace vexa
