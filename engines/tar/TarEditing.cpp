#include "ArchiveWriteHandle.h"
#include "SourceEntryWriter.h"
#include "TarArchiveEngine.h"
#include "TarEntryReader.h"
#include "TarListing.h"
#include "TarOutputCheck.h"
#include "core/archive/ArchiveFailure.h"
#include "core/archive/EntryValidation.h"
#include "core/archive/SourceChecksums.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/GuardedReplacement.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

namespace vexa {

namespace {

using std::filesystem::path;

constexpr std::size_t bufferSize = 256 * 1024;
const char* const changeMismatchMessage =
    "el contenido del TAR no coincide con el cambio esperado.";

// Size and modification date: what tells that someone else wrote the archive meanwhile.
struct Fingerprint {
    std::int64_t size = 0;
    files::FileTime modificationDate;
    bool operator==(const Fingerprint&) const = default;
};

Fingerprint fingerprintOf(const path& archive) {
    files::FileAttributes attributes = files::attributesOfItem(archive);
    return {attributes.size, attributes.modificationDate};
}

std::string trimmedFolder(const std::string& entryPath) {
    return entryPath.ends_with('/') ? entryPath.substr(0, entryPath.size() - 1) : entryPath;
}

// The entry itself, or a folder's entry and everything below it.
bool isAtOrBelow(const std::string& entryPath, const std::string& chosen) {
    std::string base = trimmedFolder(chosen);
    return trimmedFolder(entryPath) == base || entryPath.starts_with(base + "/");
}

// Chosen paths, each standing for itself and everything below it. An entry is looked up by
// walking up its own path, so a large selection costs no more per entry than a small one.
class Subtrees {
  public:
    template <typename Paths> explicit Subtrees(const Paths& chosen) {
        for (const std::string& path : chosen)
            bases_.insert(trimmedFolder(path));
    }

    // The chosen path that holds `entryPath`, if any.
    const std::string* holder(const std::string& entryPath) const {
        std::string base = trimmedFolder(entryPath);
        for (;;) {
            if (auto found = bases_.find(base); found != bases_.end())
                return &*found;
            std::size_t slash = base.rfind('/');
            if (slash == std::string::npos)
                return nullptr;
            base.resize(slash);
        }
    }

    std::size_t size() const { return bases_.size(); }

  private:
    std::set<std::string> bases_;
};

// Where a kept entry goes in the new archive; nothing drops it.
using PathChange = std::function<std::optional<std::string>(const std::string& oldPath)>;

// One edit as the engine reads it: the listing it started from and the fingerprint taken
// before that listing.
struct EditStart {
    Fingerprint fingerprint;
    ArchiveSummary listing;
};

EditStart beginEdit(const path& archive, Progress& progress) {
    progress.throwIfCancelled();
    EditStart start{fingerprintOf(archive), tar::listArchive(archive, progress, false)};
    if (start.listing.singleFile)
        throw ArchiveFailure::readOnlySingle();
    return start;
}

// Copies the data the reader is at into the entry the writer began, `size` bytes exactly
// (archiveChanged otherwise); answers their CRC-32.
std::uint32_t copyData(tar::TarEntryReader& reader, std::int64_t expectedSize,
                       tar::ArchiveWriteHandle& writer, std::vector<char>& buffer,
                       Progress& progress) {
    std::uint32_t crc = 0;
    std::int64_t size = 0;
    while (std::size_t count = reader.read(buffer.data(), buffer.size())) {
        progress.throwIfCancelled();
        size += static_cast<std::int64_t>(count);
        if (size > expectedSize)
            throw ArchiveFailure::archiveChanged();
        crc = platform::crc32(crc, buffer.data(), count);
        writer.write(buffer.data(), count);
        progress.addCompletedUnits(static_cast<std::int64_t>(count));
    }
    if (size != expectedSize)
        throw ArchiveFailure::archiveChanged();
    if (size == 0)
        progress.addCompletedUnits(1);
    return crc;
}

// What became of a file of the old archive (or of a hard link standing for one), for the hard
// links that name it later.
struct CopiedFile {
    std::optional<std::string> newPath; // the entry of the new archive holding its data
    std::string source;                 // the old entry whose data the stream holds
    std::int64_t size = 0;
    std::optional<std::uint32_t> crc;
};

// A kept hard link: a hard link to where its file went, or, when that file is gone, the file's
// data under the link's name, read from the old archive once more.
void copyLink(const path& archive, tar::TarEntryReader& reader, const tar::TarEntryHeader& header,
              const std::string& newPath, tar::ArchiveWriteHandle& writer,
              std::vector<char>& buffer, Progress& progress, ReadBackEntries& expected,
              std::unordered_map<std::string, CopiedFile>& copied) {
    auto found = copied.find(header.linkTarget);
    if (found == copied.end() || header.size != 0)
        throw ArchiveFailure::archiveChanged();
    CopiedFile file = found->second;
    if (file.newPath) {
        writer.beginCopiedLink(reader.currentEntry().get(), newPath, file.newPath, 0);
        progress.addCompletedUnits(std::max<std::int64_t>(file.size, 1));
    } else {
        writer.beginCopiedLink(reader.currentEntry().get(), newPath, std::nullopt, file.size);
        tar::TarEntryReader again(archive, progress, false);
        std::optional<tar::TarEntryHeader> source;
        while ((source = again.next()) && source->path != file.source)
            again.skip();
        if (!source || source->kind != tar::EntryKind::file || source->size != file.size)
            throw ArchiveFailure::archiveChanged();
        file.crc = copyData(again, file.size, writer, buffer, progress);
        file.newPath = newPath;
        found->second = file;
        copied[file.source] = file;
    }
    expected[newPath] = {ArchiveItem{newPath, file.size, file.size, false, false}, file.crc};
    copied[header.path] = file;
}

void copyEntry(tar::TarEntryReader& reader, const tar::TarEntryHeader& header,
               const std::string& newPath, tar::ArchiveWriteHandle& writer,
               std::vector<char>& buffer, Progress& progress, ReadBackEntries& expected) {
    bool isDirectory = header.kind == tar::EntryKind::directory;
    // The entry as read, so that nothing it carries is lost, under its new path.
    writer.beginCopy(reader.currentEntry().get(), newPath);
    if (isDirectory) {
        expected[newPath] = {ArchiveItem{newPath, 0, 0, true, false}, std::nullopt};
        progress.addCompletedUnits(1);
        return;
    }
    std::uint32_t crc = copyData(reader, header.size, writer, buffer, progress);
    expected[newPath] = {ArchiveItem{newPath, header.size, header.size, false, false}, crc};
}

void compareWithExpected(const ReadBackEntries& archived, const ReadBackEntries& kept,
                         const SourceEntryMap& added, SourceChecksums& checksums,
                         Progress& progress) {
    if (archived.size() != kept.size() + added.size())
        throw ArchiveFailure::tarFailure(changeMismatchMessage);
    for (const auto& [entryPath, expected] : kept) {
        auto found = archived.find(entryPath);
        if (found == archived.end() || found->second != expected)
            throw ArchiveFailure::tarFailure(changeMismatchMessage);
    }
    for (const auto& [entryPath, source] : added)
        if (!archived.contains(entryPath) || kept.contains(entryPath))
            throw ArchiveFailure::tarFailure(changeMismatchMessage);
    verifyRARAgainstSources(archived, added, progress, ArchiveFailure::Case::tarFailure,
                            &checksums);
}

// One writing of the new archive at `output`: the kept entries, then the added ones, read back
// as they are written; answers what the read-back found.
ReadBackEntries writeCopy(const path& archive, const path& output, TarCompression compression,
                          tar::ArchiveWriteHandle::XattrRecords records, Progress& progress,
                          const PathChange& change, const SourceEntryMap& added,
                          std::size_t plannedCount, SourceChecksums& checksums,
                          ReadBackEntries& kept) {
    tar::GrowingFile growing;
    tar::ArchiveWriteHandle writer(output, tar::ArchiveWriteHandle::Content::copiedTar, compression,
                                   std::nullopt, &growing, records);
    // The new archive is read back as it is written.
    tar::ReadBackWhileWriting check(output, progress, changeMismatchMessage, growing);
    std::vector<char> buffer(bufferSize);
    tar::TarEntryReader reader(archive, progress, false);
    std::unordered_map<std::string, CopiedFile> copied;
    while (std::optional<tar::TarEntryHeader> header = reader.next()) {
        progress.throwIfCancelled();
        std::optional<std::string> newPath = change(header->path);
        if (header->kind == tar::EntryKind::hardLink) {
            if (newPath) {
                copyLink(archive, reader, *header, *newPath, writer, buffer, progress, kept,
                         copied);
            } else if (auto found = copied.find(header->linkTarget); found != copied.end()) {
                copied[header->path] = found->second;
            }
            reader.skip();
            continue;
        }
        if (newPath)
            copyEntry(reader, *header, *newPath, writer, buffer, progress, kept);
        else
            reader.skip();
        if (header->kind == tar::EntryKind::file) {
            std::optional<std::uint32_t> crc;
            if (newPath)
                crc = kept.at(*newPath).second;
            copied[header->path] = {newPath, header->path, header->size, crc};
        }
    }
    if (kept.size() + added.size() != plannedCount)
        throw ArchiveFailure::archiveChanged();
    tar::writeSourceEntries(writer, added, progress, &checksums);
    writer.finish();
    checksums.writerEnded();
    return check.result();
}

// Writes the kept entries (renamed as `change` says) and then the added ones into a new file
// beside the archive, checks it and puts it in the archive's place.
path rewrite(const path& archive, Progress& progress, const EditStart& start,
             const PathChange& change, const SourceEntryMap& added) {
    std::vector<ArchiveItem> planned;
    std::int64_t keptUnits = 0;
    for (const ArchiveItem& item : start.listing.entries) {
        if (std::optional<std::string> newPath = change(item.path)) {
            planned.push_back(ArchiveItem{*newPath, item.size, item.size, item.isDirectory});
            keptUnits += std::max<std::int64_t>(item.size, 1);
        }
    }
    std::int64_t addedUnits = 0;
    for (const auto& [entryPath, source] : added) {
        planned.push_back(ArchiveItem{entryPath, source.size, source.size, source.isDirectory});
        addedUnits += std::max<std::int64_t>(source.size, 1);
    }
    validateEntries(planned);
    progress.setTotalUnitCount(2 * keptUnits + 3 * addedUnits);
    progress.setCompletedUnitCount(0);

    TarCompression compression = start.listing.compression.value_or(TarCompression::none);
    files::GuardedReplacement replacement(archive, progress, [&] {
        if (fingerprintOf(archive) != start.fingerprint)
            throw ArchiveFailure::archiveChanged();
    });
    path output = replacement.folder() / tar::workFileName(compression, false);
    ReadBackEntries kept;
    ReadBackEntries archived;
    // The added files are hashed as the writer reads them; one that changed by the end of the
    // writing is hashed again.
    SourceChecksums checksums(added, progress, SourceChecksums::defaultSettled,
                              SourceChecksums::Early::offered);
    // Entries are copied with their extended attributes in GNU tar's records; an archive whose
    // entries carry bsdtar's two kinds of record is copied again, keeping both.
    for (auto records = tar::ArchiveWriteHandle::XattrRecords::schily;;) {
        try {
            kept.clear();
            archived = writeCopy(archive, output, compression, records, progress, change, added,
                                 planned.size(), checksums, kept);
            break;
        } catch (const tar::ArchiveWriteHandle::BothXattrRecordsMet&) {
            if (records == tar::ArchiveWriteHandle::XattrRecords::both)
                throw;
            records = tar::ArchiveWriteHandle::XattrRecords::both;
            files::removeItemIgnoringErrors(output);
            progress.setCompletedUnitCount(0);
        }
    }

    compareWithExpected(archived, kept, added, checksums, progress);
    replacement.place(output);
    return archive;
}

// A name that stays one component inside its folder.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\:\0", 4)) == std::string::npos;
}

} // namespace

path TarArchiveEngine::rename(const path& archive, Progress& progress, const ArchiveItem& entry,
                              const std::string& newName) {
    if (!isPlainName(newName))
        throw ArchiveFailure::unsafePath(newName);
    EditStart start = beginEdit(archive, progress);

    const std::string oldBase = trimmedFolder(entry.path);
    const std::size_t slash = oldBase.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : oldBase.substr(0, slash + 1);
    const std::string newBase = parent + newName;
    auto moves = [&](const std::string& entryPath) {
        return entry.isDirectory ? isAtOrBelow(entryPath, oldBase) : entryPath == entry.path;
    };
    const std::vector<ArchiveItem>& entries = start.listing.entries;
    if (std::none_of(entries.begin(), entries.end(),
                     [&](const ArchiveItem& item) { return moves(item.path); }))
        throw ArchiveFailure::archiveChanged();
    if (newBase == oldBase)
        return archive;
    const std::string newKey = nameKey(newBase);
    for (const ArchiveItem& item : entries) {
        std::string key = nameKey(item.path);
        if (!moves(item.path) && (key == newKey || key.starts_with(newKey + "/")))
            throw ArchiveFailure::conflict(newName);
    }

    return rewrite(archive, progress, start,
                   [&](const std::string& entryPath) -> std::optional<std::string> {
                       if (!moves(entryPath))
                           return entryPath;
                       return newBase + entryPath.substr(oldBase.size());
                   },
                   {});
}

path TarArchiveEngine::deleteEntries(const path& archive, const std::set<std::string>& paths,
                                     Progress& progress) {
    if (paths.empty())
        throw ArchiveFailure::emptySelection();
    EditStart start = beginEdit(archive, progress);
    const Subtrees chosen(paths);
    std::set<const std::string*> found;
    for (const ArchiveItem& item : start.listing.entries)
        if (const std::string* holder = chosen.holder(item.path))
            found.insert(holder);
    if (found.size() != chosen.size())
        throw ArchiveFailure::archiveChanged();
    return rewrite(archive, progress, start,
                   [&](const std::string& entryPath) -> std::optional<std::string> {
                       if (chosen.holder(entryPath))
                           return std::nullopt;
                       return entryPath;
                   },
                   {});
}

path TarArchiveEngine::add(const path& archive, Progress& progress, const TarAddPlanStep& plan) {
    EditStart start = beginEdit(archive, progress);
    TarAddPlan added = plan(start.listing, progress);
    if (added.sources.empty())
        return archive;
    return rewrite(
        archive, progress, start,
        [&, replaced = Subtrees(added.replaced)](
            const std::string& entryPath) -> std::optional<std::string> {
            if (replaced.holder(entryPath))
                return std::nullopt;
            return entryPath;
        },
        added.sources);
}

} // namespace vexa
