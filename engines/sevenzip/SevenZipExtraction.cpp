#include "engines/sevenzip/SevenZipExtraction.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace vexa {

namespace {

constexpr std::size_t blockSize = 256 * 1024;

struct FolderAttributes {
    std::filesystem::path location;
    mode_t permissions;
    std::optional<files::FileTime> modificationDate;
};

void createFolders(const std::filesystem::path& location) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    if (error)
        throw PlatformError::fromErrno(error.value(), location.string(), true);
}

void writeFile(SevenZipReader& reader, const SevenZipEntry& entry,
               const std::filesystem::path& location, std::vector<char>& buffer,
               Progress& progress) {
    createFolders(location.parent_path());
    files::FileDescriptor file(files::createFile(location, 0600));
    std::int64_t written = 0;
    while (true) {
        progress.throwIfCancelled();
        const std::size_t count = reader.read(buffer.data(), buffer.size());
        if (count == 0)
            break;
        written += static_cast<std::int64_t>(count);
        if (written > entry.item.size)
            throw ArchiveFailure::corrupt(entry.item.path);
        files::writeAll(file.get(), buffer.data(), count, location);
        progress.addCompletedUnits(static_cast<std::int64_t>(count));
    }
    if (written != entry.item.size)
        throw ArchiveFailure::corrupt(entry.item.path);
    if (entry.item.size == 0)
        progress.addCompletedUnits(1);
    // Through the descriptor: the name could be swapped for a link between close and chmod.
    if (::fchmod(file.get(), entry.permissions) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    if (entry.modificationDate) {
        const auto sinceEpoch = entry.modificationDate->time_since_epoch();
        const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
        const timespec times[2] = {
            {0, UTIME_OMIT},
            {static_cast<time_t>(seconds.count()),
             static_cast<long>(
                 std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds)
                     .count())}};
        if (::futimens(file.get(), times) != 0)
            throw PlatformError::fromErrno(errno, location.string(), true);
    }
    file.close();
}

} // namespace

bool isSelectedSevenZipPath(const std::string& path, const std::set<std::string>& requested) {
    if (requested.empty() || requested.contains(path))
        return true;
    return std::any_of(requested.begin(), requested.end(), [&](const std::string& member) {
        const std::string prefix = member.ends_with('/') ? member : member + "/";
        return path.starts_with(prefix);
    });
}

void writeSevenZipEntries(const std::vector<std::filesystem::path>& volumes,
                          const std::vector<ArchiveItem>& selected, Progress& progress,
                          const SevenZipDestination& destination) {
    std::map<std::string, ArchiveItem> pending;
    std::int64_t total = 0;
    for (const auto& item : selected) {
        pending.emplace(item.path, item);
        total += std::max<std::int64_t>(item.size, 1);
    }
    progress.setTotalUnitCount(total);

    std::vector<char> buffer(blockSize);
    std::vector<FolderAttributes> folders;
    SevenZipReader reader(volumes, progress);
    while (!pending.empty()) {
        auto entry = reader.next();
        if (!entry)
            break;
        const auto found = pending.find(entry->item.path);
        if (found == pending.end())
            continue;
        if (found->second != entry->item)
            throw ArchiveFailure::archiveChanged();
        pending.erase(found);
        const std::filesystem::path location = destination(entry->item);
        if (entry->type == files::FileType::directory) {
            createFolders(location);
            folders.push_back({location, entry->permissions, entry->modificationDate});
            progress.addCompletedUnits(1);
        } else if (entry->type == files::FileType::regular) {
            writeFile(reader, *entry, location, buffer, progress);
        } else {
            // The listing refuses links and special files; meeting one now means the file
            // changed under us.
            throw ArchiveFailure::archiveChanged();
        }
    }
    if (!pending.empty())
        throw ArchiveFailure::archiveChanged();

    // Deepest first, and only now: a read-only folder must not stop its own contents from being
    // written, and writing them would move its time.
    progress.throwIfCancelled();
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return a.location.native().size() > b.location.native().size();
    });
    for (const auto& folder : folders) {
        files::setPermissions(folder.location, folder.permissions);
        if (folder.modificationDate)
            files::setModificationDate(folder.location, *folder.modificationDate);
    }
}

} // namespace vexa
