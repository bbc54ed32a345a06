#include "engines/rar/RAREditor.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vexa {

namespace {

constexpr const char* kWildcardMessage =
    "los nombres con * o ? no se pueden renombrar ni eliminar dentro de un RAR.";
constexpr const char* kChangeMismatchMessage =
    "el contenido del RAR no coincide con el cambio esperado.";

} // namespace

void rejectWildcardNames(const std::string& name) {
    if (name.find_first_of("*?") != std::string::npos)
        throw ArchiveFailure::rarEdit(kWildcardMessage);
}

std::string snapshotArchive(const std::filesystem::path& archive) {
    auto attributes = files::attributesOfItem(archive);
    auto since = attributes.modificationDate.time_since_epoch();
    double seconds = std::chrono::duration<double>(since).count();
    char text[64];
    std::snprintf(text, sizeof text, "%.9f", seconds);
    return std::to_string(attributes.size) + "-" + text;
}

void RAREditor::Context::runRAR(const std::vector<std::string>& arguments,
                                const std::optional<std::filesystem::path>& workingDirectory,
                                std::int64_t progressUnits) const {
    std::vector<std::string> full;
    if (!arguments.empty()) {
        full.push_back(arguments.front());
        full.push_back("-w" + stage.string());
        bool namesPassword = std::find_if(arguments.begin(), arguments.end(), [](auto& a) {
                                 return a == "-p" || a == "-hp";
                             }) != arguments.end();
        if (password && !namesPassword)
            full.push_back("-p");
        if (summary.hasRecoveryRecord)
            full.push_back("-rr5%");
        full.insert(full.end(), arguments.begin() + 1, arguments.end());
    }
    command.runRARCommand(full, workingDirectory.value_or(stage), password, progressUnits,
                          *progress);
}

std::filesystem::path RAREditor::rename(const std::filesystem::path& archive, Progress& progress,
                                        const ArchiveItem& entry,
                                        const std::string& newName) const {
    return edit(archive, progress,
                [&](const Context& context) { return renameStep(context, entry, newName); });
}

std::filesystem::path RAREditor::deleteEntries(const std::filesystem::path& archive,
                                               Progress& progress,
                                               const std::set<std::string>& paths) const {
    return edit(archive, progress,
                [&](const Context& context) { return deleteStep(context, paths); });
}

std::filesystem::path RAREditor::add(const std::filesystem::path& archive, Progress& progress,
                                     const ChangeStep& change) const {
    return edit(archive, progress, change);
}

std::filesystem::path RAREditor::edit(const std::filesystem::path& archive, Progress& progress,
                                      const ChangeStep& change) const {
    if (!executable)
        throw ArchiveFailure::readOnlyRAR();
    progress.throwIfCancelled();
    const std::string fingerprint = snapshotArchive(archive);

    std::optional<std::string> workingPassword;
    {
        Progress checkProgress;
        workingPassword = RARArchiveEngine::verifyPassword(archive, checkProgress, password, false);
    }
    validateRARPassword(workingPassword, ArchiveFailure::Case::rarEdit);
    ArchiveSummary summary;
    {
        Progress listProgress;
        summary = RARArchiveEngine(workingPassword, false).list(archive, listProgress);
    }
    if (summary.volumes.size() > 1)
        throw ArchiveFailure::splitEditing();
    if (summary.isLocked)
        throw lockedRARFailure();

    files::GuardedReplacement stage(archive, progress, [&] {
        if (snapshotArchive(archive) != fingerprint)
            throw ArchiveFailure::archiveChanged();
    });
    const auto copy = stage.folder() / paths::lastPathComponent(archive);
    files::copyItem(archive, copy);

    std::int64_t total = 0;
    for (const auto& entry : summary.entries)
        total += std::max<std::int64_t>(entry.size, 1);
    progress.setTotalUnitCount(total);

    Context context{std::move(summary),
                    copy,
                    stage.folder(),
                    workingPassword,
                    rarArchiveHidesNames(archive),
                    RARCommand::forEditing(*executable),
                    &progress};
    auto expected = change(context);
    if (!expected)
        return archive;

    auto checksums = RARArchiveEngine::entryChecksums(copy, progress, workingPassword, false);
    std::set<std::string> found;
    for (const auto& [path, value] : checksums)
        found.insert(path);
    if (found != expected->expectedPaths)
        throw ArchiveFailure::rarEdit(kChangeMismatchMessage);
    verifyRARAgainstSources(checksums, expected->expectedSources, progress,
                            ArchiveFailure::Case::rarEdit);
    stage.place(copy);
    progress.setCompletedUnitCount(progress.totalUnitCount());
    return archive;
}

} // namespace vexa
