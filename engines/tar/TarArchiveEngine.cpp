#include "TarArchiveEngine.h"

#include "EntrySelection.h"
#include "ExtractionTree.h"
#include "TarEntryReader.h"
#include "TarListing.h"
#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <vector>

namespace vexa {

using std::filesystem::path;

namespace {
constexpr std::size_t bufferSize = 256 * 1024;
} // namespace

ArchiveSummary tar::listArchive(const path& archive, Progress& progress, bool countsUnits) {
    if (countsUnits)
        progress.setCompletedUnitCount(0);
    tar::TarEntryReader reader(archive, progress, countsUnits);
    if (countsUnits)
        progress.setTotalUnitCount(reader.archiveSize());
    std::vector<ArchiveItem> entries;
    if (reader.kind().singleFile) {
        // The decoded size is written nowhere reliable (gzip keeps it modulo 4 GiB, per
        // member), so the stream is decoded once to count it; that also finds any damage.
        std::optional<tar::TarEntryHeader> header = reader.next();
        std::vector<char> buffer(bufferSize);
        std::int64_t size = 0;
        while (std::size_t count = reader.read(buffer.data(), buffer.size())) {
            size += static_cast<std::int64_t>(count);
            progress.throwIfCancelled();
        }
        entries.push_back(ArchiveItem{header->path, size, reader.archiveSize(), false, false});
    } else {
        while (std::optional<tar::TarEntryHeader> header = reader.next()) {
            progress.throwIfCancelled();
            switch (header->kind) {
            case tar::EntryKind::symbolicLink:
                throw ArchiveFailure::symbolicLink(header->path);
            case tar::EntryKind::hardLink:
            case tar::EntryKind::special:
                throw ArchiveFailure::unsupportedTar(header->path);
            case tar::EntryKind::file:
            case tar::EntryKind::directory:
                break;
            }
            bool isDirectory = header->kind == tar::EntryKind::directory;
            entries.push_back(
                ArchiveItem{header->path, header->size, header->size, isDirectory, false});
            reader.skip();
        }
    }
    validateEntries(entries);

    ArchiveSummary summary;
    summary.url = archive;
    summary.entries = std::move(entries);
    summary.format = ArchiveFormat::tar;
    summary.volumes = {archive};
    summary.compression = reader.kind().compression;
    summary.singleFile = reader.kind().singleFile;
    return summary;
}

namespace {

using RelativeName = std::function<std::string(const ArchiveItem&)>;

void restoreAttributes(int descriptor, const tar::TarEntryHeader& header, const path& location) {
    if (::fchmod(descriptor, header.permissions) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    if (!header.modificationTime)
        return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, *header.modificationTime};
    if (::futimens(descriptor, times) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
}

void writeFile(tar::TarEntryReader& reader, const tar::TarEntryHeader& header,
               const ArchiveItem& item, const std::string& relative, tar::ExtractionTree& tree,
               std::vector<char>& buffer, Progress& progress) {
    path location;
    files::FileDescriptor file = tree.createFile(relative, location);
    std::int64_t written = 0;
    for (;;) {
        progress.throwIfCancelled();
        std::size_t count = reader.read(buffer.data(), buffer.size());
        if (count == 0)
            break;
        written += static_cast<std::int64_t>(count);
        if (written > item.size)
            throw ArchiveFailure::corrupt(item.path);
        files::writeAll(file.get(), buffer.data(), count, location);
        progress.addCompletedUnits(static_cast<std::int64_t>(count));
    }
    if (written != item.size)
        throw ArchiveFailure::corrupt(item.path);
    if (item.size == 0)
        progress.addCompletedUnits(1);
    restoreAttributes(file.get(), header, location);
    file.close();
}

// One pass over the archive that writes the selected entries below `tree`. The pass ends as
// soon as every selected entry is written: the listing just read the whole archive.
void writeEntries(const path& archive, const std::vector<ArchiveItem>& selected, Progress& progress,
                  tar::ExtractionTree& tree, const RelativeName& relativeOf) {
    std::map<std::string, ArchiveItem> wanted;
    std::int64_t total = 0;
    for (const ArchiveItem& item : selected) {
        wanted.emplace(item.path, item);
        total += std::max<std::int64_t>(item.size, 1);
    }
    progress.setTotalUnitCount(total);
    progress.setCompletedUnitCount(0);

    tar::TarEntryReader reader(archive, progress, false);
    std::vector<char> buffer(bufferSize);
    while (!wanted.empty()) {
        std::optional<tar::TarEntryHeader> header = reader.next();
        if (!header)
            break;
        progress.throwIfCancelled();
        auto found = wanted.find(header->path);
        if (found == wanted.end()) {
            reader.skip();
            continue;
        }
        ArchiveItem item = found->second;
        wanted.erase(found);
        bool isDirectory = header->kind == tar::EntryKind::directory;
        bool isFile = header->kind == tar::EntryKind::file;
        if ((!isDirectory && !isFile) || isDirectory != item.isDirectory ||
            (header->size >= 0 && header->size != item.size))
            throw ArchiveFailure::archiveChanged();
        if (isDirectory) {
            tree.makeFolders(relativeOf(item));
            progress.addCompletedUnits(1);
        } else {
            writeFile(reader, *header, item, relativeOf(item), tree, buffer, progress);
        }
    }
    if (!wanted.empty())
        throw ArchiveFailure::archiveChanged();
}

// The first name among "name", "name 2", "name 3"... that nothing in `folder` holds yet.
path availableURL(const std::string& name, const path& folder) {
    std::string base = name.empty() ? "Archivos" : name;
    path candidate = folder / base;
    for (int number = 2; files::fileExists(candidate); ++number)
        candidate = folder / (base + " " + std::to_string(number));
    return candidate;
}

} // namespace

ArchiveSummary TarArchiveEngine::list(const path& archive, Progress& progress) {
    return tar::listArchive(archive, progress, true);
}

path TarArchiveEngine::extract(const path& archive, const std::set<std::string>& paths,
                               const path& destination, Progress& progress) {
    ArchiveSummary summary = tar::listArchive(archive, progress, false);
    std::vector<ArchiveItem> selected = tar::selectEntries(summary.entries, paths);
    if (!paths.empty() && selected.empty())
        throw ArchiveFailure::emptySelection();

    path staging = destination / (".vexa-extract-" + files::newUUIDString());
    files::createDirectory(staging, 0700);
    files::ScopedRemoval removal(staging);
    tar::ExtractionTree tree(staging);
    writeEntries(archive, selected, progress, tree,
                 [](const ArchiveItem& item) { return item.path; });
    progress.throwIfCancelled();

    path target = availableURL(tar::tarFileKind(archive).resultName, destination);
    files::moveItem(staging, target);
    removal.dismiss();
    return target;
}

void TarArchiveEngine::extractPayload(const ArchiveItem& entry, const path& archive,
                                      const path& destination, Progress& progress,
                                      std::optional<std::int64_t> limit) {
    ArchiveSummary summary = tar::listArchive(archive, progress, false);
    std::vector<ArchiveItem> selected = tar::selectEntries(summary.entries, {entry.path});
    if (selected.empty())
        throw ArchiveFailure::corrupt(entry.path);
    if (limit && std::any_of(selected.begin(), selected.end(),
                             [&](const ArchiveItem& item) { return item.size > *limit; }))
        throw ArchiveFailure::previewTooLarge();
    if (files::fileExists(destination))
        throw ArchiveFailure::conflict(paths::lastPathComponent(destination));

    // A folder may be chosen by a path the listing holds only implicitly ("docs/" above
    // "docs/a.txt"); only a listed file chosen by its own path is written as one file.
    bool isFolder = !(selected.size() == 1 && selected.front().path == entry.path &&
                      !selected.front().isDirectory);
    path work = files::itemReplacementDirectory(destination);
    files::ScopedRemoval removal(work);
    path payload = work / "payload";
    if (isFolder)
        files::createDirectory(payload, 0755);
    std::string prefix = entry.path.ends_with('/') ? entry.path : entry.path + "/";
    tar::ExtractionTree tree(payload);
    writeEntries(archive, selected, progress, tree, [&](const ArchiveItem& item) {
        if (!isFolder || item.path == entry.path || item.path == prefix)
            return std::string();
        return item.path.substr(prefix.size());
    });
    progress.throwIfCancelled();
    files::moveItem(payload, destination);
}

} // namespace vexa
