#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARListingCache.h"
#include "engines/rar/RARPasswordTrial.h"
#include "engines/rar/RARReader.h"
#include "platform/ExtractedFolders.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <cerrno>
#include <map>
#include <sys/stat.h>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace vexa {

namespace {

void createDirectories(const std::filesystem::path& location) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    if (error)
        throw PlatformError::fromErrno(error.value(), location.string(), true);
}

// Remembers the folders made during one pass, so that a folder holding many files is looked
// at once, not once per file.
class FolderMaker {
  public:
    void make(const std::filesystem::path& folder) {
        if (made_.contains(folder.native()))
            return;
        createDirectories(folder);
        made_.insert(folder.native());
    }

  private:
    std::unordered_set<std::string> made_;
};

// Unhooks the file from the context on every way out, so that no data is written into a
// descriptor that is about to close.
class AttachedFile {
  public:
    AttachedFile(RARStreamContext& context, int fd, const std::filesystem::path& location,
                 std::int64_t limit)
        : context_(context), descriptor_(fd) {
        context_.file = fd;
        context_.filePath = location;
        context_.limit = limit;
        context_.written = 0;
    }
    ~AttachedFile() { context_.file = -1; }
    AttachedFile(const AttachedFile&) = delete;
    AttachedFile& operator=(const AttachedFile&) = delete;
    int descriptor() const { return descriptor_.get(); }

  private:
    RARStreamContext& context_;
    files::FileDescriptor descriptor_;
};

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return INT64_MAX;
    return sum;
}

// Mode and time through the open descriptor: no path lookup per file, and the time is set
// after the last write, which would otherwise move it.
void setAttributes(int fd, const std::filesystem::path& location, mode_t mode,
                   std::int64_t modified) {
    if (::fchmod(fd, mode & 07777) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    if (modified <= 0)
        return;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<std::time_t>(modified), 0}};
    if (::futimens(fd, times) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
}

void writeFileEntry(RARReader& reader, const ArchiveItem& entry,
                    const std::filesystem::path& destination, FolderMaker& folders,
                    Progress& progress) {
    folders.make(destination.parent_path());
    // The system's own reason (a name too long, a full disk) says more than "could not save".
    const int fd = files::createFile(destination, 0600);
    RARStreamContext& context = reader.context();
    AttachedFile attached(context, fd, destination, entry.size);
    reader.processEntry();
    if (context.written != entry.size)
        throw ArchiveFailure::corrupt(entry.path);
    if (entry.size == 0)
        progress.addCompletedUnits(1);
    setAttributes(attached.descriptor(), destination, static_cast<mode_t>(reader.entryMode()),
                  reader.entryModificationTime());
}

// The listing made when the archive was opened serves while the archive is unchanged.
std::shared_ptr<const ArchiveSummary> listingOf(const std::filesystem::path& archive,
                                                const std::optional<std::string>& candidate,
                                                Progress& progress) {
    if (auto remembered = rarlistingcache::find(archive))
        return remembered;
    return std::make_shared<const ArchiveSummary>(
        RARArchiveEngine(candidate, true).list(archive, progress));
}

} // namespace

bool isSelectedPath(const std::string& path, const std::set<std::string>& requested) {
    if (requested.empty() || requested.contains(path))
        return true;
    for (const auto& member : requested) {
        std::string prefix = member.ends_with('/') ? member : member + "/";
        if (path.starts_with(prefix))
            return true;
    }
    return false;
}

void RARArchiveEngine::writeEntries(const std::filesystem::path& archive,
                                    const std::vector<ArchiveItem>& selected, Progress& progress,
                                    const DestinationMapping& destinationOf,
                                    const std::optional<std::string>& password, bool exact,
                                    bool everything) {
    withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        std::unordered_map<std::string_view, const ArchiveItem*> wanted;
        wanted.reserve(selected.size());
        std::int64_t total = 0;
        for (const auto& entry : selected) {
            wanted.emplace(entry.path, &entry);
            total = saturatingAdd(total, std::max<std::int64_t>(entry.size, 1));
        }
        progress.setTotalUnitCount(total);
        // A pass refused for a wrong password form may have counted bytes already.
        progress.setCompletedUnitCount(0);

        // Every entry is tested: a damaged entry fails the extraction even when unchosen; only
        // the chosen files' data comes back.
        RARWalkPlan plan(rarchild::Test::all, rarchild::Data::send);
        plan.sendEverything = everything;
        plan.shards = rarWalkerCount();
        if (!everything)
            for (const auto& entry : selected)
                if (!entry.isDirectory)
                    plan.wanted.push_back(entry.path);
        RARReader reader(archive, candidate, progress, plan);
        FolderMaker folders;
        files::ExtractedFolders times;
        while (auto entry = reader.nextEntry(progress)) {
            auto found = wanted.find(entry->path);
            if (found == wanted.end()) {
                reader.processEntry();
                continue;
            }
            if (!(*found->second == *entry))
                throw ArchiveFailure::archiveChanged();
            wanted.erase(found);
            std::filesystem::path destination = destinationOf(*entry);
            if (entry->isDirectory) {
                folders.make(destination);
                if (const std::int64_t modified = reader.entryModificationTime(); modified > 0)
                    times.add(destination, files::FileTime(std::chrono::seconds(modified)));
                reader.processEntry();
                progress.addCompletedUnits(1);
            } else {
                writeFileEntry(reader, *entry, destination, folders, progress);
            }
        }
        if (!wanted.empty())
            throw ArchiveFailure::archiveChanged();
        times.finish();
        return 0;
    });
}

std::filesystem::path RARArchiveEngine::extract(const std::filesystem::path& archive,
                                                const std::set<std::string>& paths,
                                                const std::filesystem::path& destination,
                                                Progress& progress) {
    return withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        const auto summary = listingOf(archive, candidate, progress);
        std::vector<ArchiveItem> chosen;
        if (!paths.empty())
            for (const auto& entry : summary->entries)
                if (isSelectedPath(entry.path, paths))
                    chosen.push_back(entry);
        const std::vector<ArchiveItem>& selected = paths.empty() ? summary->entries : chosen;

        std::filesystem::path staging = destination / (".vexa-extract-" + files::newUUIDString());
        files::createDirectory(staging, 0700);
        files::ScopedRemoval removal(staging);
        writeEntries(
            archive, selected, progress,
            [&](const ArchiveItem& entry) { return staging / entry.path; }, candidate, true,
            paths.empty());
        progress.throwIfCancelled();

        std::string name = paths::nameDeletingExtension(paths::lastPathComponent(archive));
        std::filesystem::path result = destination / name;
        for (int counter = 2; files::fileExists(result); ++counter)
            result = destination / (name + " " + std::to_string(counter));
        files::moveItem(staging, result);
        return result;
    });
}

void RARArchiveEngine::extractEntry(const ArchiveItem& entry, const std::filesystem::path& archive,
                                    const std::filesystem::path& result, Progress& progress,
                                    std::optional<std::int64_t> limit,
                                    const std::optional<std::string>& password, bool exact) {
    withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        const auto summary = listingOf(archive, candidate, progress);
        const std::set<std::string> chosen{entry.path};
        std::vector<ArchiveItem> selected;
        std::int64_t total = 0;
        for (const auto& listed : summary->entries) {
            if (isSelectedPath(listed.path, chosen)) {
                selected.push_back(listed);
                total = saturatingAdd(total, listed.size);
            }
        }
        if (selected.empty())
            throw ArchiveFailure::corrupt(entry.path);
        if (limit && total > *limit)
            throw ArchiveFailure::previewTooLarge();
        if (files::fileExists(result))
            throw ArchiveFailure::conflict(paths::lastPathComponent(result));

        std::filesystem::path work = files::itemReplacementDirectory(result);
        files::ScopedRemoval removal(work);
        std::filesystem::path payload = work / "payload";
        if (entry.isDirectory)
            files::createDirectory(payload, 0755);
        std::string prefix = entry.path.ends_with('/') ? entry.path : entry.path + "/";
        writeEntries(
            archive, selected, progress,
            [&](const ArchiveItem& item) {
                if (entry.isDirectory && item.path != entry.path)
                    return payload / item.path.substr(prefix.size());
                return payload;
            },
            candidate, true);
        progress.throwIfCancelled();
        files::moveItem(payload, result);
        return 0;
    });
}

} // namespace vexa
