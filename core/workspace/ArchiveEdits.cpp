#include "core/workspace/ArchiveEdits.h"

#include "engines/EngineFactory.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

namespace vexa {

namespace {

// An archive reached through a link is edited where it lies, so every engine builds, checks
// and replaces the real file beside itself; the model goes on showing it through the link.
template <typename Edit>
std::filesystem::path throughLink(const ArchiveSummary& given, const Edit& edit) {
    const auto attributes = files::attributesIfExists(given.url);
    if (!attributes || attributes->type != files::FileType::symbolicLink)
        return edit(given);
    ArchiveSummary summary = given;
    summary.url = paths::resolvingSymlinks(given.url);
    const std::filesystem::path edited = edit(summary);
    return edited == summary.url ? given.url : edited;
}

} // namespace

std::filesystem::path renameInArchive(const ArchiveSummary& given,
                                      const std::optional<std::string>& password,
                                      Progress& progress, const ArchiveItem& item,
                                      const std::string& newName) {
    return throughLink(given, [&](const ArchiveSummary& summary) {
        return makeArchiveEditor(summary.format, password)
            ->rename(summary.url, item, newName, progress);
    });
}

std::filesystem::path deleteFromArchive(const ArchiveSummary& given,
                                        const std::optional<std::string>& password,
                                        Progress& progress, const std::set<std::string>& paths) {
    return throughLink(given, [&](const ArchiveSummary& summary) {
        return makeArchiveEditor(summary.format, password)
            ->deleteEntries(summary.url, paths, progress);
    });
}

std::filesystem::path addToArchive(const ArchiveSummary& given,
                                   const std::optional<std::string>& password, Progress& progress,
                                   const std::vector<std::filesystem::path>& sources,
                                   const std::string& folder, ArchiveConflictPolicy policy) {
    return throughLink(given, [&](const ArchiveSummary& summary) {
        return makeArchiveEditor(summary.format, password)
            ->add(summary.url, sources, folder, policy, progress);
    });
}

ArchiveSummary relistArchive(const std::filesystem::path& archive,
                             const std::optional<std::string>& password) {
    const auto progress = Progress::make();
    return makeArchiveEngine(archive, password)->list(archive, *progress);
}

} // namespace vexa
