#include "engines/sevenzip/SevenZipEntryCopy.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace vexa {

namespace {

constexpr std::size_t blockSize = 256 * 1024;

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    return path;
}

files::FileTime fileTime(const struct timespec& time) {
    return files::FileTime(std::chrono::duration_cast<files::FileTime::duration>(
        std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
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
        throw ArchiveFailure::sevenZipFailure(sevenZipChangedSourceMessage(path));
    writer.beginEntry(path, files::FileType::regular, source.size, status.st_mode & 0777,
                      fileTime(status.st_mtim));
    std::int64_t remaining = source.size;
    while (remaining > 0) {
        progress.throwIfCancelled();
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(remaining, buffer.size()));
        const ssize_t count = ::read(file.get(), buffer.data(), wanted);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw PlatformError::fromErrno(errno, source.url.string(), false);
        }
        // The archive already announced the collected size: a shorter file cannot fill it.
        if (count == 0)
            throw ArchiveFailure::sevenZipFailure(sevenZipChangedSourceMessage(path));
        writer.writeData(buffer.data(), static_cast<std::size_t>(count));
        remaining -= count;
        progress.addCompletedUnits(count);
    }
    if (source.size == 0)
        progress.addCompletedUnits(1);
}

} // namespace

std::string sevenZipChangedSourceMessage(const std::string& entryPath) {
    return "«" + entryPath +
           "» no coincide con el original. Puede haber cambiado durante la compresión.";
}

ReadBackEntries copySevenZipEntries(const std::vector<std::filesystem::path>& volumes,
                                    const std::vector<ArchiveItem>& listed,
                                    const SevenZipPathChange& change, SevenZipArchiveWriter& writer,
                                    Progress& progress,
                                    const std::optional<std::string>& password) {
    std::map<std::string, ArchiveItem> pending;
    for (const auto& item : listed)
        pending.emplace(item.path, item);

    ReadBackEntries kept;
    std::vector<unsigned char> buffer(blockSize);
    SevenZipReader reader(volumes, progress, password);
    while (auto entry = reader.next()) {
        const auto found = pending.find(entry->item.path);
        if (found == pending.end() || found->second != entry->item)
            throw ArchiveFailure::archiveChanged();
        pending.erase(found);
        const auto newPath = change(entry->item);
        if (!newPath)
            continue;
        ArchiveItem item = entry->item;
        item.path = *newPath;
        item.compressedSize = 0;
        writer.beginEntry(withoutTrailingSlash(*newPath), entry->type, entry->item.size,
                          entry->permissions, entry->modificationDate);
        std::optional<std::uint32_t> checksum;
        if (entry->type == files::FileType::regular) {
            uLong crc = ::crc32(0L, Z_NULL, 0);
            std::int64_t copied = 0;
            while (true) {
                progress.throwIfCancelled();
                const std::size_t count = reader.read(buffer.data(), buffer.size());
                if (count == 0)
                    break;
                copied += static_cast<std::int64_t>(count);
                if (copied > entry->item.size)
                    throw ArchiveFailure::corrupt(entry->item.path);
                crc = ::crc32(crc, buffer.data(), static_cast<uInt>(count));
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
