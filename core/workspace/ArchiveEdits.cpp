#include "core/workspace/ArchiveEdits.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/RarLocator.h"
#include "engines/EngineFactory.h"
#include "engines/rar/RAREditor.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"

namespace vexa {

namespace {

ZIPArchiveEngine zipEngine(const std::optional<std::string>& password) {
    ZIPArchiveEngine engine(password);
    engine.splitSize = 0;
    engine.resolved.reset();
    engine.bufferSize = 262144;
    return engine;
}

RAREditor rarEditor(const std::optional<std::string>& password) {
    return RAREditor{password, locateRARExecutable()};
}

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

void checkNewEntryName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\:") != std::string::npos)
        throw ArchiveFailure::unsafePath(name);
}

std::filesystem::path renameInArchive(const ArchiveSummary& given,
                                      const std::optional<std::string>& password,
                                      Progress& progress, const ArchiveItem& item,
                                      const std::string& newName) {
    return throughLink(given, [&](const ArchiveSummary& summary) -> std::filesystem::path {
        switch (summary.format) {
        case ArchiveFormat::zip:
            return zipEngine(password).rename(item, summary.url, newName, progress);
        case ArchiveFormat::sevenZip:
            checkNewEntryName(newName);
            return SevenZipWriter::rename(summary.url, item, newName, password, progress);
        case ArchiveFormat::rar: {
            const RAREditor editor = rarEditor(password);
            checkNewEntryName(newName);
            return editor.rename(summary.url, progress, item, newName);
        }
        case ArchiveFormat::tar:
            return TarArchiveEngine().rename(summary.url, progress, item, newName);
        }
        throw ArchiveFailure::unsupported();
    });
}

std::filesystem::path deleteFromArchive(const ArchiveSummary& given,
                                        const std::optional<std::string>& password,
                                        Progress& progress, const std::set<std::string>& paths) {
    return throughLink(given, [&](const ArchiveSummary& summary) -> std::filesystem::path {
        if (summary.format == ArchiveFormat::zip)
            return zipEngine(password).deleteEntries(paths, summary.url, progress);
        if (paths.empty())
            throw ArchiveFailure::emptySelection();
        switch (summary.format) {
        case ArchiveFormat::sevenZip:
            return SevenZipWriter::deleteEntries(summary.url, paths, password, progress);
        case ArchiveFormat::tar:
            return TarArchiveEngine().deleteEntries(summary.url, paths, progress);
        case ArchiveFormat::rar:
            return rarEditor(password).deleteEntries(summary.url, progress, paths);
        case ArchiveFormat::zip:
            break;
        }
        throw ArchiveFailure::unsupported();
    });
}

std::filesystem::path addToArchive(const ArchiveSummary& given,
                                   const std::optional<std::string>& password, Progress& progress,
                                   const std::vector<std::filesystem::path>& sources,
                                   const std::string& folder, ArchiveConflictPolicy policy) {
    return throughLink(given, [&](const ArchiveSummary& summary) -> std::filesystem::path {
        if (summary.format == ArchiveFormat::zip)
            return zipEngine(password).add(sources, summary.url, folder, policy, progress);
        if (sources.empty())
            throw ArchiveFailure::emptySelection();
        switch (summary.format) {
        case ArchiveFormat::sevenZip:
            return SevenZipWriter::add(
                summary.url, password, progress,
                [&sources, &folder, policy](const ArchiveSummary& listed, Progress& planProgress) {
                    return SevenZipWriter::collectSources(sources, folder, policy, listed,
                                                          planProgress);
                });
        case ArchiveFormat::tar:
            return TarArchiveEngine().add(
                summary.url, progress,
                [&sources, &folder, policy](const ArchiveSummary& listing, Progress& planProgress) {
                    return TarArchiveEngine::collectSources(sources, folder, policy, listing,
                                                            planProgress);
                });
        case ArchiveFormat::rar: {
            const std::filesystem::path archive = summary.url;
            return rarEditor(password).add(archive, progress,
                                           [&sources, &folder, &archive, policy,
                                            &progress](const RAREditor::Context& context) {
                                               return RAREditor::addFiles(
                                                   context, folder, sources, archive, policy,
                                                   context.progress ? *context.progress : progress);
                                           });
        }
        case ArchiveFormat::zip:
            break;
        }
        throw ArchiveFailure::unsupported();
    });
}

ArchiveSummary relistArchive(const std::filesystem::path& archive,
                             const std::optional<std::string>& password) {
    const auto progress = Progress::make();
    return makeArchiveEngine(archive, password)->list(archive, *progress);
}

} // namespace vexa
