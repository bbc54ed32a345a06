#include "engines/sevenzip/SevenZipEntryCopy.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipOpening.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "engines/sevenzip/SevenZipVolumeStream.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

namespace {

constexpr std::size_t blockSize = 256 * 1024;

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    return path;
}

void writeSourceFile(const std::string& path, const RARSourceEntry& source,
                     SevenZipArchiveWriter& writer, std::vector<unsigned char>& buffer,
                     Progress& progress) {
    files::FileDescriptor file(::open(source.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError::fromErrno(errno, source.url.string(), false);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw PlatformError::fromErrno(errno, source.url.string(), false);
    if (!S_ISREG(status.st_mode))
        throw ArchiveFailure::sevenZipFailure(changedSourceMessage(path));
    writer.beginEntry(path, files::FileType::regular, source.size, status.st_mode & 0777,
                      files::fileTimeOf(status.st_mtim));
    std::int64_t remaining = source.size;
    while (remaining > 0) {
        progress.throwIfCancelled();
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(remaining, buffer.size()));
        const ssize_t count = platform::readSome(file.get(), buffer.data(), wanted);
        if (count < 0)
            throw PlatformError::fromErrno(errno, source.url.string(), false);
        // The archive already announced the collected size: a shorter file cannot fill it.
        if (count == 0)
            throw ArchiveFailure::sevenZipFailure(changedSourceMessage(path));
        writer.writeData(buffer.data(), static_cast<std::size_t>(count));
        remaining -= count;
        progress.addCompletedUnits(count);
    }
    if (source.size == 0)
        progress.addCompletedUnits(1);
}

// What the header says of a kept entry, or what this writer would say of it when it says
// nothing.
std::uint32_t storedAttributes(const SevenZipEntry& entry) {
    return entry.attributes.value_or(
        sevenZipAttributes(entry.item.isDirectory, static_cast<std::uint32_t>(entry.permissions)));
}

// Whether the folder is a chain this writer's header can state again: one packed stream into
// coder 0, each later coder reading the one before, every coder with one input and one output,
// and a CRC for every file.
bool isPlainChain(const sevenzip::Folder& folder) {
    for (const auto& coder : folder.coders)
        if (coder.inStreams != 1 || coder.outStreams != 1)
            return false;
    if (folder.bindPairs.size() + 1 != folder.coders.size())
        return false;
    for (std::size_t index = 1; index < folder.coders.size(); ++index)
        if (folder.bindPairs[index - 1].inIndex != index ||
            folder.bindPairs[index - 1].outIndex != index - 1)
            return false;
    return folder.packedStreams.empty() ||
           (folder.packedStreams.size() == 1 && folder.packedStreams.front() == 0);
}

std::vector<std::uint8_t> methodBytes(std::uint64_t id) {
    std::vector<std::uint8_t> bytes;
    do {
        bytes.insert(bytes.begin(), static_cast<std::uint8_t>(id & 0xFF));
        id >>= 8;
    } while (id != 0);
    return bytes;
}

// Copies, without decoding them, the folders whose every file is kept (the names may change),
// and returns the paths of the entries it wrote. An edit then re-encodes only the folders it
// touches.
std::set<std::string> copyWholeFolders(const std::vector<std::filesystem::path>& volumes,
                                       const SevenZipPathChange& change,
                                       SevenZipArchiveWriter& writer, Progress& progress,
                                       const std::optional<std::string>& password,
                                       ReadBackEntries& kept) {
    const auto open = openSevenZipArchive(volumes, password, false, progress);
    const auto& archive = *open.archive;
    const auto& streams = archive.header().streams;
    const auto& files = archive.header().files;
    const std::size_t folderCount = streams.folders.size();
    if (streams.packSizes.size() != folderCount)
        return {};

    // Files of each folder in stream order, and whether the folder is kept whole.
    std::vector<std::vector<std::size_t>> folderFiles(folderCount);
    std::vector<bool> whole(folderCount, true);
    for (std::size_t index = 0; index < files.size(); ++index) {
        const auto stream = archive.fileStreams()[index];
        if (!stream)
            continue;
        const std::size_t folder = archive.streamFolders()[*stream];
        folderFiles[folder].push_back(index);
        const auto& entry = open.entries[index];
        if (!entry || entry->type != files::FileType::regular || !change(entry->item))
            whole[folder] = false;
    }

    std::set<std::string> written;
    SevenZipVolumeStream input(volumes);
    std::vector<unsigned char> buffer(blockSize);
    std::uint64_t packOffset = sevenzip::startHeaderSize + streams.packPosition;
    std::size_t firstStream = 0;
    for (std::size_t folder = 0; folder < folderCount; ++folder) {
        const auto& model = streams.folders[folder];
        const std::uint64_t packSize = streams.packSizes[folder];
        const std::size_t count = folderFiles[folder].size();
        const std::size_t streamStart = firstStream;
        firstStream += static_cast<std::size_t>(
            streams.unpackStreamCounts.empty() ? 1 : streams.unpackStreamCounts[folder]);
        const std::uint64_t offset = packOffset;
        packOffset += packSize;
        if (!whole[folder] || count == 0 || !isPlainChain(model) ||
            firstStream - streamStart != count)
            continue;

        SevenZipFolderRecord record;
        for (const auto& coder : model.coders)
            record.coders.push_back({methodBytes(coder.methodId), coder.properties});
        record.unpackSizes = model.unpackSizes;
        record.crc = model.unpackCrc;
        record.packSize = packSize;
        bool allCrcs = true;
        for (std::size_t stream = streamStart; stream < firstStream; ++stream) {
            record.streamSizes.push_back(streams.substreamSizes[stream]);
            auto crc = stream < streams.substreamCrcs.size() ? streams.substreamCrcs[stream]
                                                             : std::nullopt;
            if (!crc && count == 1)
                crc = model.unpackCrc;
            allCrcs = allCrcs && crc.has_value();
            record.streamCrcs.push_back(crc.value_or(0));
        }
        if (!allCrcs)
            continue;

        writer.beginRawFolder(record);
        for (std::uint64_t done = 0; done < packSize;) {
            progress.throwIfCancelled();
            const auto chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), packSize - done));
            input.readAt(static_cast<std::int64_t>(offset + done), buffer.data(), chunk);
            writer.writeRawData(buffer.data(), chunk);
            done += chunk;
        }
        for (std::size_t position = 0; position < count; ++position) {
            const std::size_t index = folderFiles[folder][position];
            const auto& entry = *open.entries[index];
            const auto newPath = *change(entry.item);
            writer.addRawFile(newPath, storedAttributes(entry), entry.modificationTime);
            ArchiveItem item = entry.item;
            item.path = newPath;
            item.compressedSize = 0;
            kept[newPath] = {item, record.streamCrcs[position]};
            written.insert(entry.item.path);
            progress.addCompletedUnits(std::max<std::int64_t>(entry.item.size, 1));
        }
    }
    return written;
}

} // namespace

ReadBackEntries copySevenZipEntries(const std::vector<std::filesystem::path>& volumes,
                                    const std::vector<ArchiveItem>& listed,
                                    const SevenZipPathChange& change, SevenZipArchiveWriter& writer,
                                    Progress& progress,
                                    const std::optional<std::string>& password) {
    std::map<std::string, ArchiveItem> pending;
    for (const auto& item : listed)
        pending.emplace(item.path, item);

    ReadBackEntries kept;
    const auto copied = copyWholeFolders(volumes, change, writer, progress, password, kept);
    std::vector<unsigned char> buffer(blockSize);
    SevenZipReader reader(volumes, progress, password);
    while (auto entry = reader.next()) {
        const auto found = pending.find(entry->item.path);
        if (found == pending.end() || found->second != entry->item)
            throw ArchiveFailure::archiveChanged();
        pending.erase(found);
        const auto newPath = change(entry->item);
        if (!newPath || copied.contains(entry->item.path))
            continue;
        ArchiveItem item = entry->item;
        item.path = *newPath;
        item.compressedSize = 0;
        writer.beginCopiedEntry(withoutTrailingSlash(*newPath), entry->type, entry->item.size,
                                storedAttributes(*entry), entry->modificationTime,
                                entry->emptyStream);
        std::optional<std::uint32_t> checksum;
        if (entry->type == files::FileType::regular) {
            std::uint32_t crc = 0;
            std::int64_t copied = 0;
            while (true) {
                progress.throwIfCancelled();
                const std::size_t count = reader.read(buffer.data(), buffer.size());
                if (count == 0)
                    break;
                copied += static_cast<std::int64_t>(count);
                if (copied > entry->item.size)
                    throw ArchiveFailure::corrupt(entry->item.path);
                crc = platform::crc32(crc, buffer.data(), static_cast<std::size_t>(count));
                writer.writeData(buffer.data(), count);
                progress.addCompletedUnits(static_cast<std::int64_t>(count));
            }
            if (copied != entry->item.size)
                throw ArchiveFailure::corrupt(entry->item.path);
            checksum = static_cast<std::uint32_t>(crc);
        } else if (entry->type != files::FileType::directory) {
            // The listing refuses links and special files; meeting one means the file changed.
            throw ArchiveFailure::archiveChanged();
        }
        if (entry->item.size == 0)
            progress.addCompletedUnits(1);
        kept[*newPath] = {item, checksum};
    }
    if (!pending.empty())
        throw ArchiveFailure::archiveChanged();
    return kept;
}

void writeSevenZipSources(const SourceEntryMap& sources, SevenZipArchiveWriter& writer,
                          Progress& progress) {
    std::vector<unsigned char> buffer(blockSize);
    for (const auto& [path, source] : sources) {
        progress.throwIfCancelled();
        if (source.isDirectory) {
            const auto attributes = files::attributesOfItem(source.url);
            writer.beginEntry(withoutTrailingSlash(path), files::FileType::directory, 0,
                              attributes.permissions & 0777, attributes.modificationDate);
            progress.addCompletedUnits(1);
        } else {
            writeSourceFile(path, source, writer, buffer, progress);
        }
    }
}

} // namespace vexa
