#include "TarArchiveEngine.h"

#include "EntrySelection.h"
#include "ExtractionTree.h"
#include "ExtractionWriters.h"
#include "LinkSources.h"
#include "ListingCache.h"
#include "PlacedExtraction.h"
#include "PlacedStream.h"
#include "TarEntryReader.h"
#include "TarListing.h"
#include "XzStreamReader.h"
#include "ZstdRingReader.h"
#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "platform/ExtractedFolders.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/Processors.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace vexa {

using std::filesystem::path;

namespace {
constexpr std::size_t bufferSize = 256 * 1024;
} // namespace

namespace {

// `byHeaders` tells, once the reading started, whether it reads kept headers alone.
std::shared_ptr<const ArchiveSummary> listReading(const path& archive, Progress& progress,
                                                  bool countsUnits, bool headersOnly,
                                                  bool* byHeaders = nullptr) {
    if (countsUnits)
        progress.setCompletedUnitCount(0);
    tar::TarEntryReader reader(archive, progress, countsUnits, nullptr, headersOnly);
    if (byHeaders != nullptr)
        *byHeaders = reader.readsHeadersOnly();
    if (countsUnits)
        progress.setTotalUnitCount(reader.archiveSize());
    std::vector<ArchiveItem> entries;
    auto placements = std::make_shared<tar::TarPlacements>();
    bool placed = true;
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
        tar::LinkSources files;
        while (std::optional<tar::TarEntryHeader> header = reader.next()) {
            progress.throwIfCancelled();
            switch (header->kind) {
            case tar::EntryKind::symbolicLink:
                throw ArchiveFailure::symbolicLink(header->path);
            case tar::EntryKind::special:
                throw ArchiveFailure::unsupportedTar(header->path);
            case tar::EntryKind::hardLink:
                if (header->size != 0)
                    throw ArchiveFailure::unsupportedTar(header->path);
                // A hard link stands for the earlier file it names, whose data is elsewhere in
                // the stream: the entries are then extracted in one pass, not by their places.
                header->size = files.resolve(*header).size;
                placed = false;
                break;
            case tar::EntryKind::file:
            case tar::EntryKind::directory:
                break;
            }
            files.note(*header);
            bool isDirectory = header->kind == tar::EntryKind::directory;
            entries.push_back(ArchiveItem{std::move(header->path), header->size, header->size,
                                          isDirectory, false});
            placed = placed && header->placement;
            if (placed)
                placements->push_back(*header->placement);
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
    auto remembered = std::make_shared<const ArchiveSummary>(std::move(summary));
    if (!placed || remembered->singleFile)
        placements.reset();
    std::shared_ptr<const tar::GzipAccessPoints> gzipPoints;
    if (placements)
        if (std::optional<tar::GzipAccessPoints> points = reader.takeGzipAccessPoints())
            gzipPoints = std::make_shared<const tar::GzipAccessPoints>(std::move(*points));
    std::shared_ptr<const tar::KeptBlocks> xzBlocks;
    if (placements)
        if (tar::KeptBlocks kept = reader.takeKeptXzBlocks(); !kept.empty())
            xzBlocks = std::make_shared<const tar::KeptBlocks>(std::move(kept));
    tar::rememberListing(reader.archiveIdentity(), remembered, std::move(placements),
                         std::move(gzipPoints), std::move(xzBlocks));
    return remembered;
}

} // namespace

std::shared_ptr<const ArchiveSummary> tar::listedArchive(const path& archive, Progress& progress,
                                                         bool countsUnits) {
    bool byHeaders = false;
    try {
        return listReading(archive, progress, countsUnits, true, &byHeaders);
    } catch (const ArchiveFailure&) {
        // Read by its headers alone, an xz archive may fail where a whole reading would not
        // (too many headers kept, an unusual header); the whole reading has the last word.
        if (!byHeaders)
            throw;
    }
    return listReading(archive, progress, countsUnits, false);
}

ArchiveSummary tar::listArchive(const path& archive, Progress& progress, bool countsUnits) {
    return *listedArchive(archive, progress, countsUnits);
}

namespace {

using RelativeName = std::function<std::string(const ArchiveItem&)>;

std::optional<files::FileTime> fileTimeOf(const std::optional<struct timespec>& time) {
    if (!time)
        return std::nullopt;
    return files::fileTimeOf(*time);
}

// Files are written on a few threads: creating them is mostly the system's work.
std::size_t writerThreads() {
    return std::clamp<std::size_t>(platform::usableCores(), 1, 4);
}

void writeFile(tar::TarEntryReader& reader, const tar::TarEntryHeader& header,
               const ArchiveItem& item, const std::string& relative, tar::ExtractionTree& tree,
               tar::ExtractionWriters& writers, Progress& progress) {
    tree.makeParentFolders(relative);
    writers.begin(relative, header.permissions, header.modificationTime, item.size);
    std::int64_t written = 0;
    while (written < item.size) {
        progress.throwIfCancelled();
        std::size_t room = 0;
        char* buffer = writers.reserve(bufferSize, room);
        std::size_t count = reader.read(buffer, room);
        if (count == 0)
            throw ArchiveFailure::corrupt(item.path);
        written += static_cast<std::int64_t>(count);
        writers.commit(count);
        progress.addCompletedUnits(static_cast<std::int64_t>(count));
    }
    char extra = 0;
    if (reader.read(&extra, 1) != 0)
        throw ArchiveFailure::corrupt(item.path);
    if (item.size == 0)
        progress.addCompletedUnits(1);
    writers.end();
}

// An xz archive of several blocks, or a gzip one whose listing noted access points, is written
// piece by piece on several threads, from where the listing placed each entry; false when it
// cannot be.
bool writeEntriesByBlocks(const path& archive, const ArchiveSummary& listing,
                          const std::set<std::string>& chosen, std::size_t wanted,
                          Progress& progress, tar::ExtractionTree& tree,
                          const RelativeName& relativeOf) {
    std::shared_ptr<const tar::TarPlacements> placements = tar::rememberedPlacements(listing);
    if (!placements || placements->size() != listing.entries.size())
        return false;
    std::shared_ptr<const tar::GzipAccessPoints> gzipPoints = tar::rememberedGzipPoints(listing);
    if (!gzipPoints && listing.compression != TarCompression::xz)
        return false;
    // What a pieced extraction keeps of each chosen entry (name, place, state: some 200 bytes)
    // must leave room for its decoders within 64 MiB: many more entries than this, small
    // files, are written as they are read.
    constexpr std::size_t maximumPlacedEntries = 40000;
    if (wanted > maximumPlacedEntries)
        return false;
    std::vector<tar::PlacedEntry> placed;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const ArchiveItem& item = listing.entries[i];
        if (!tar::isSelectedPath(item.path, chosen))
            continue;
        std::string relative = relativeOf(item);
        if (item.isDirectory)
            tree.makeFolders(relative);
        else
            tree.makeParentFolders(relative);
        placed.push_back({std::move(relative), item.isDirectory, item.size, (*placements)[i]});
    }
    if (gzipPoints)
        return tar::extractGzipPieces(archive, *gzipPoints, placed, tree, progress);
    return tar::extractXzBlocks(archive, placed, tree, progress,
                                tar::rememberedXzBlocks(listing).get());
}

// A zstd archive whose listing placed every entry is decoded once more from its start, each
// chosen entry's data cut out where the listing found it, without parsing the headers again;
// false when it cannot be.
bool writeEntriesAlongPlaces(const path& archive, const ArchiveSummary& listing,
                             const std::set<std::string>& chosen, std::size_t wanted,
                             Progress& progress, tar::ExtractionTree& tree,
                             const RelativeName& relativeOf) {
    if (listing.compression != TarCompression::zstd)
        return false;
    std::shared_ptr<const tar::TarPlacements> places = tar::rememberedPlacements(listing);
    if (!places || places->size() != listing.entries.size())
        return false;
    tar::FileByteSource file(archive, progress, false);
    char start[4];
    if (!tar::ZstdRingReader::hasMagic(start, file.peekStart(start, sizeof start)))
        return false;
    tar::ZstdRingReader stream(file);
    tar::ExtractionWriters writers(tree, writerThreads());
    tar::extractAlongPlaces(
        stream, listing.entries, *places,
        [&](const ArchiveItem& item) -> std::optional<std::string> {
            if (!tar::isSelectedPath(item.path, chosen))
                return std::nullopt;
            return relativeOf(item);
        },
        wanted, tree, writers, progress);
    return true;
}

// A chosen hard link: written, once every file is on disk, as a copy of the file it stands for.
struct LinkCopy {
    std::string relative;
    std::string source; // the listed path of the file whose data the stream holds
    std::int64_t size = 0;
    bool carried = false; // the source's data is written straight to `relative`
};

// One pass over the archive that writes the selected entries below `tree`, each header
// compared with the validated listing at its place, so that an archive changed since it was
// listed stops the work instead of writing what nobody checked. The pass ends as soon as every
// selected entry is written; the chosen hard links are left to the caller.
void writeInOnePass(const path& archive, const ArchiveSummary& listing,
                    const std::set<std::string>& chosen, std::size_t wanted, Progress& progress,
                    tar::ExtractionTree& tree, const RelativeName& relativeOf,
                    std::vector<LinkCopy>& links, files::ExtractedFolders& folders) {
    tar::TarEntryReader reader(archive, progress, false);
    tar::ExtractionWriters writers(tree, writerThreads());
    tar::LinkSources sources;
    std::size_t index = 0;
    while (wanted > 0) {
        std::optional<tar::TarEntryHeader> header = reader.next();
        if (!header)
            break;
        progress.throwIfCancelled();
        if (index >= listing.entries.size())
            throw ArchiveFailure::archiveChanged();
        const ArchiveItem& item = listing.entries[index++];
        bool isDirectory = header->kind == tar::EntryKind::directory;
        bool isFile = header->kind == tar::EntryKind::file;
        bool isLink = header->kind == tar::EntryKind::hardLink;
        std::int64_t size = header->size;
        std::string source;
        if (isLink) {
            if (header->size != 0)
                throw ArchiveFailure::archiveChanged();
            const tar::LinkSources::Source& found = sources.resolve(*header);
            size = found.size;
            source = found.path;
        }
        if (header->path != item.path || (!isDirectory && !isFile && !isLink) ||
            isDirectory != item.isDirectory || (size >= 0 && size != item.size))
            throw ArchiveFailure::archiveChanged();
        sources.note(*header);
        if (!tar::isSelectedPath(item.path, chosen)) {
            reader.skip();
            continue;
        }
        --wanted;
        if (isDirectory) {
            folders.add(tree.makeFolders(relativeOf(item)), fileTimeOf(header->modificationTime));
            progress.addCompletedUnits(1);
        } else if (isLink) {
            links.push_back({relativeOf(item), std::move(source), item.size});
            reader.skip();
        } else {
            writeFile(reader, *header, item, relativeOf(item), tree, writers, progress);
        }
    }
    if (wanted > 0)
        throw ArchiveFailure::archiveChanged();
    writers.finish();
}

void writeEntries(const path& archive, const ArchiveSummary& listing,
                  const std::set<std::string>& chosen, Progress& progress,
                  tar::ExtractionTree& tree, const RelativeName& relativeOf,
                  files::ExtractedFolders& folders, bool countsTotal = true);

// Each chosen hard link becomes a copy, inside the tree, of the file it stands for: of that
// file's own extraction when it was chosen too, else of the first link's, to which one more
// pass writes the file's data.
void writeLinkCopies(const path& archive, const ArchiveSummary& listing,
                     const std::set<std::string>& chosen, Progress& progress,
                     tar::ExtractionTree& tree, const RelativeName& relativeOf,
                     std::vector<LinkCopy>& links, files::ExtractedFolders& folders) {
    std::unordered_map<std::string, const ArchiveItem*> items;
    for (const ArchiveItem& item : listing.entries)
        items.emplace(item.path, &item);
    std::map<std::string, std::string> carriers; // source -> where its data is written
    std::set<std::string> missing;
    for (LinkCopy& link : links) {
        if (tar::isSelectedPath(link.source, chosen)) {
            carriers.emplace(link.source, relativeOf(*items.at(link.source)));
        } else if (carriers.emplace(link.source, link.relative).second) {
            missing.insert(link.source);
            link.carried = true;
        }
    }
    if (!missing.empty())
        writeEntries(
            archive, listing, missing, progress, tree,
            [&](const ArchiveItem& item) { return carriers.at(item.path); }, folders, false);
    for (const LinkCopy& link : links) {
        if (link.carried)
            continue;
        progress.throwIfCancelled();
        tree.makeParentFolders(link.relative);
        files::copyItem(tree.locationOf(carriers.at(link.source)), tree.locationOf(link.relative));
        progress.addCompletedUnits(std::max<std::int64_t>(link.size, 1));
    }
}

// Writes the selected entries below `tree`, by the entries' places when the listing noted
// them, else in one pass; hard links last. The folders' times go to `folders`, for the caller
// to set once everything is written.
void writeEntries(const path& archive, const ArchiveSummary& listing,
                  const std::set<std::string>& chosen, Progress& progress,
                  tar::ExtractionTree& tree, const RelativeName& relativeOf,
                  files::ExtractedFolders& folders, bool countsTotal) {
    std::int64_t total = 0;
    std::size_t wanted = 0;
    for (const ArchiveItem& item : listing.entries) {
        if (tar::isSelectedPath(item.path, chosen)) {
            total += std::max<std::int64_t>(item.size, 1);
            ++wanted;
        }
    }
    if (countsTotal) {
        progress.setTotalUnitCount(total);
        progress.setCompletedUnitCount(0);
    }
    if (writeEntriesByBlocks(archive, listing, chosen, wanted, progress, tree, relativeOf) ||
        writeEntriesAlongPlaces(archive, listing, chosen, wanted, progress, tree, relativeOf)) {
        // Read by their places, the folders' headers said their times at the listing.
        const tar::TarPlacements& places = *tar::rememberedPlacements(listing);
        for (std::size_t i = 0; i < listing.entries.size(); ++i) {
            const ArchiveItem& item = listing.entries[i];
            if (item.isDirectory && tar::isSelectedPath(item.path, chosen))
                folders.add(tree.makeFolders(relativeOf(item)),
                            fileTimeOf(places[i].modificationTime));
        }
        return;
    }
    std::vector<LinkCopy> links;
    writeInOnePass(archive, listing, chosen, wanted, progress, tree, relativeOf, links, folders);
    if (!links.empty())
        writeLinkCopies(archive, listing, chosen, progress, tree, relativeOf, links, folders);
}

// The listing the open just made when the file is unchanged since, else a new one.
std::shared_ptr<const ArchiveSummary> currentListing(const path& archive, Progress& progress) {
    if (std::shared_ptr<const ArchiveSummary> remembered = tar::rememberedListing(archive))
        return remembered;
    return tar::listedArchive(archive, progress, false);
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
    return *tar::listedArchive(archive, progress, true);
}

path TarArchiveEngine::extract(const path& archive, const std::set<std::string>& paths,
                               const path& destination, Progress& progress) {
    std::shared_ptr<const ArchiveSummary> listing = currentListing(archive, progress);
    if (!paths.empty() && std::none_of(listing->entries.begin(), listing->entries.end(),
                                       [&](const ArchiveItem& item) {
                                           return tar::isSelectedPath(item.path, paths);
                                       }))
        throw ArchiveFailure::emptySelection();

    path staging = destination / (".vexa-extract-" + files::newUUIDString());
    files::createDirectory(staging, 0700);
    files::ScopedRemoval removal(staging);
    tar::ExtractionTree tree(staging);
    files::ExtractedFolders folders;
    writeEntries(
        archive, *listing, paths, progress, tree, [](const ArchiveItem& item) { return item.path; },
        folders);
    progress.throwIfCancelled();
    folders.finish();

    path target = availableURL(tar::tarFileKind(archive).resultName, destination);
    files::moveItem(staging, target);
    removal.dismiss();
    return target;
}

void TarArchiveEngine::extractPayload(const ArchiveItem& entry, const path& archive,
                                      const path& destination, Progress& progress,
                                      std::optional<std::int64_t> limit) {
    std::shared_ptr<const ArchiveSummary> listing = currentListing(archive, progress);
    std::vector<ArchiveItem> selected = tar::selectEntries(listing->entries, {entry.path});
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
    files::ExtractedFolders folders;
    writeEntries(
        archive, *listing, {entry.path}, progress, tree,
        [&](const ArchiveItem& item) {
            if (!isFolder || item.path == entry.path || item.path == prefix)
                return std::string();
            return item.path.substr(prefix.size());
        },
        folders);
    progress.throwIfCancelled();
    folders.finish();
    files::moveItem(payload, destination);
}

} // namespace vexa
