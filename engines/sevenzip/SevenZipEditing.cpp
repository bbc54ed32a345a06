#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveWriter.h"
#include "engines/sevenzip/SevenZipEntryCopy.h"
#include "engines/sevenzip/SevenZipExtraction.h"
#include "engines/sevenzip/SevenZipPlacement.h"
#include "engines/sevenzip/SevenZipReadBack.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa {

namespace {

// What one edit does to the listing: the new path of each kept entry and the files added.
struct EditChange {
    SevenZipPathChange pathChange;
    SourceEntryMap added;
    std::int64_t addedUnits = 0;
};

using ChangeStep = std::function<std::optional<EditChange>(const ArchiveSummary&)>;

struct Fingerprint {
    std::int64_t size;
    files::FileTime modificationDate;
    bool operator==(const Fingerprint&) const = default;
};

Fingerprint fingerprintOf(const std::filesystem::path& archive) {
    const auto attributes = files::attributesOfItem(archive);
    return {attributes.size, attributes.modificationDate};
}

std::string trimmedSlashes(const std::string& path) {
    const auto first = path.find_first_not_of('/');
    if (first == std::string::npos)
        return {};
    return path.substr(first, path.find_last_not_of('/') - first + 1);
}

std::filesystem::path editArchive(const std::filesystem::path& archive,
                                  const std::optional<std::string>& password, Progress& progress,
                                  const ChangeStep& step) {
    progress.throwIfCancelled();
    const Fingerprint before = fingerprintOf(archive);
    SevenZipArchiveEngine engine(password);
    const ArchiveSummary summary = engine.list(archive, progress);
    // Replacing the first part with a whole archive would leave the other parts beside it as a
    // broken set.
    if (summary.volumes.size() > 1)
        throw ArchiveFailure::splitEditing();
    const auto change = step(summary);
    if (!change)
        return archive;
    const auto protection = sevenZipProtectionOf(summary.volumes, password, progress);

    std::vector<ArchiveItem> planned;
    std::int64_t units = change->addedUnits;
    for (const auto& item : summary.entries) {
        if (const auto path = change->pathChange(item)) {
            ArchiveItem moved = item;
            moved.path = *path;
            planned.push_back(std::move(moved));
            units += std::max<std::int64_t>(item.size, 1);
        }
    }
    for (const auto& [path, source] : change->added)
        planned.push_back({path, source.size, 0, source.isDirectory, false});
    validateEntries(planned);
    progress.setTotalUnitCount(progress.totalUnitCount() + 3 * units);

    files::GuardedReplacement replacement(archive, progress, [&] {
        if (fingerprintOf(archive) != before)
            throw ArchiveFailure::archiveChanged();
    });
    const auto output = replacement.folder() / paths::lastPathComponent(archive);
    ReadBackEntries kept;
    {
        SevenZipArchiveWriter writer(output, 0,
                                     sevenZipRewriteLevel(summary.volumes, summary.entries),
                                     protection.password, protection.encryptHeaders, progress);
        kept = copySevenZipEntries(summary.volumes, summary.entries, change->pathChange, writer,
                                   progress, password);
        writeSevenZipSources(change->added, writer, progress);
        writer.finish();
    }
    const auto readBack = readSevenZipBack({output}, progress, protection.password);
    checkSevenZipReadBack(readBack, kept, change->added, progress, kSevenZipChangeMismatchMessage);
    progress.addCompletedUnits(units - change->addedUnits);

    replacement.place(output);
    return archive;
}

bool isUnsafeNewName(const std::string& name) {
    return name.empty() || name == "." || name == ".." ||
           name.find_first_of("/\\:") != std::string::npos;
}

} // namespace

std::filesystem::path SevenZipWriter::rename(const std::filesystem::path& archive,
                                             const ArchiveItem& entry, const std::string& newName,
                                             const std::optional<std::string>& password,
                                             Progress& progress) {
    if (isUnsafeNewName(newName))
        throw ArchiveFailure::unsafePath(newName);
    const std::string oldPath = trimmedSlashes(entry.path);
    const auto slash = oldPath.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : oldPath.substr(0, slash + 1);
    const std::string newPath = parent + newName;
    if (newPath == oldPath)
        return archive;

    const std::string oldPrefix = oldPath + "/";
    const auto isMoved = [&](const ArchiveItem& item) {
        return trimmedSlashes(item.path) == oldPath ||
               (entry.isDirectory && item.path.starts_with(oldPrefix));
    };
    return editArchive(archive, password, progress, [&](const ArchiveSummary& summary) {
        if (std::none_of(summary.entries.begin(), summary.entries.end(), isMoved))
            throw ArchiveFailure::archiveChanged();
        const std::string newKey = nameKey(newPath);
        for (const auto& item : summary.entries) {
            const std::string key = nameKey(item.path);
            if (!isMoved(item) && (key == newKey || key.starts_with(newKey + "/")))
                throw ArchiveFailure::conflict(newName);
        }
        EditChange change;
        change.pathChange = [=](const ArchiveItem& item) -> std::optional<std::string> {
            if (!isMoved(item))
                return item.path;
            return newPath + item.path.substr(oldPath.size());
        };
        return std::optional<EditChange>(std::move(change));
    });
}

std::filesystem::path SevenZipWriter::deleteEntries(const std::filesystem::path& archive,
                                                    const std::set<std::string>& paths,
                                                    const std::optional<std::string>& password,
                                                    Progress& progress) {
    if (paths.empty())
        throw ArchiveFailure::emptySelection();
    return editArchive(archive, password, progress, [&](const ArchiveSummary& summary) {
        if (std::none_of(
                summary.entries.begin(), summary.entries.end(),
                [&](const ArchiveItem& item) { return isSelectedSevenZipPath(item.path, paths); }))
            throw ArchiveFailure::emptySelection();
        EditChange change;
        change.pathChange = [&paths](const ArchiveItem& item) -> std::optional<std::string> {
            if (isSelectedSevenZipPath(item.path, paths))
                return std::nullopt;
            return item.path;
        };
        return std::optional<EditChange>(std::move(change));
    });
}

std::filesystem::path SevenZipWriter::add(const std::filesystem::path& archive,
                                          const std::optional<std::string>& password,
                                          Progress& progress, const PlanStep& plan) {
    progress.throwIfCancelled();
    return editArchive(archive, password, progress, [&](const ArchiveSummary& summary) {
        auto planned = plan(summary, progress);
        if (!planned)
            return std::optional<EditChange>();
        std::vector<std::string> replaced;
        for (const auto& path : planned->replaced)
            replaced.push_back(nameKey(path));
        EditChange change;
        change.pathChange = [replaced](const ArchiveItem& item) -> std::optional<std::string> {
            const std::string key = nameKey(item.path);
            for (const auto& gone : replaced)
                if (key == gone || key.starts_with(gone + "/"))
                    return std::nullopt;
            return item.path;
        };
        change.added = std::move(planned->sources);
        change.addedUnits = planned->units;
        return std::optional<EditChange>(std::move(change));
    });
}

} // namespace vexa
