#include "engines/zip/ZIPArchiveEditor.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/Paths.h"

namespace vexa {

namespace {

ZIPArchiveEngine zipEngine(const std::optional<std::string>& password, std::int64_t splitSize = 0) {
    ZIPArchiveEngine engine(password);
    engine.splitSize = splitSize;
    engine.resolved.reset();
    engine.bufferSize = 262144;
    return engine;
}

} // namespace

std::filesystem::path ZIPArchiveEditor::create(const CreationRequest& request,
                                               Progress& progress) const {
    return zipEngine(request.password, request.splitSize)
        .create(request.sources, request.destination, request.useCompression, progress);
}

std::filesystem::path ZIPArchiveEditor::rename(const std::filesystem::path& archive,
                                               const ArchiveItem& item, const std::string& newName,
                                               Progress& progress) const {
    return zipEngine(password()).rename(item, archive, newName, progress);
}

std::filesystem::path ZIPArchiveEditor::deleteEntries(const std::filesystem::path& archive,
                                                      const std::set<std::string>& paths,
                                                      Progress& progress) const {
    return zipEngine(password()).deleteEntries(paths, archive, progress);
}

std::filesystem::path ZIPArchiveEditor::add(const std::filesystem::path& archive,
                                            const std::vector<std::filesystem::path>& sources,
                                            const std::string& folder, ArchiveConflictPolicy policy,
                                            Progress& progress) const {
    return zipEngine(password()).add(sources, archive, folder, policy, progress);
}

void ZIPArchiveEditor::saveAsSingle(const std::filesystem::path& archive,
                                    const std::filesystem::path& destination,
                                    Progress& progress) const {
    ZIPArchiveEngine engine = zipEngine(std::nullopt);
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

void ZIPArchiveEditor::extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                                    const std::filesystem::path& destination, Progress& progress,
                                    std::optional<std::int64_t> limit) const {
    zipEngine(password()).extractPayload(entry, archive, destination, progress, limit);
}

} // namespace vexa
