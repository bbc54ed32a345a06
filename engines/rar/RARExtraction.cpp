#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARPasswordTrial.h"
#include "engines/rar/RARReader.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <chrono>
#include <map>
#include <system_error>

namespace vexa {

namespace {

void createDirectories(const std::filesystem::path& location) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    if (error)
        throw PlatformError::fromErrno(error.value(), location.string(), true);
}

// Unhooks the file from the context on every way out, so the library cannot write into a
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

void writeFileEntry(RARReader& reader, const ArchiveItem& entry,
                    const std::filesystem::path& destination, Progress& progress) {
    createDirectories(destination.parent_path());
    int fd;
    try {
        fd = files::createFile(destination, 0600);
    } catch (const PlatformError&) {
        throw PlatformError(PlatformError::Code::fileWriteUnknown, destination.string());
    }
    RARStreamContext& context = reader.context();
    AttachedFile attached(context, fd, destination, entry.size);
    reader.processEntry(true);
    if (context.written != entry.size)
        throw ArchiveFailure::corrupt(entry.path);
    if (entry.size == 0)
        progress.addCompletedUnits(1);
    files::setPermissions(destination, static_cast<mode_t>(VXRarEntryMode(reader.handle())));
    std::int64_t modified = VXRarEntryModTime(reader.handle());
    if (modified > 0)
        files::setModificationDate(destination, std::chrono::system_clock::from_time_t(
                                                    static_cast<std::time_t>(modified)));
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
                                    const std::optional<std::string>& password, bool exact) {
    withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        std::map<std::string, ArchiveItem> wanted;
        std::int64_t total = 0;
        for (const auto& entry : selected) {
            wanted.emplace(entry.path, entry);
            total = saturatingAdd(total, std::max<std::int64_t>(entry.size, 1));
        }
        progress.setTotalUnitCount(total);
        // A pass refused for a wrong password form may have counted bytes already.
        progress.setCompletedUnitCount(0);

        RARReader reader(archive, candidate, progress);
        while (auto entry = reader.nextEntry(progress)) {
            auto found = wanted.find(entry->path);
            if (found == wanted.end()) {
                // Tested all the same: a damaged entry fails the extraction even when unchosen.
                reader.processEntry(true);
                continue;
            }
            if (!(found->second == *entry))
                throw ArchiveFailure::archiveChanged();
            wanted.erase(found);
            std::filesystem::path destination = destinationOf(*entry);
            if (entry->isDirectory) {
                createDirectories(destination);
                reader.processEntry(false);
                progress.addCompletedUnits(1);
            } else {
                writeFileEntry(reader, *entry, destination, progress);
            }
        }
        if (!wanted.empty())
            throw ArchiveFailure::archiveChanged();
        return 0;
    });
}

std::filesystem::path RARArchiveEngine::extract(const std::filesystem::path& archive,
                                                const std::set<std::string>& paths,
                                                const std::filesystem::path& destination,
                                                Progress& progress) {
    return withPasswordVariants(password, exact, [&](const std::optional<std::string>& candidate) {
        auto summary = RARArchiveEngine(candidate, true).list(archive, progress);
        std::vector<ArchiveItem> selected;
        for (const auto& entry : summary.entries)
            if (isSelectedPath(entry.path, paths))
                selected.push_back(entry);

        std::filesystem::path staging = destination / (".vexa-extract-" + files::newUUIDString());
        files::createDirectory(staging, 0700);
        files::ScopedRemoval removal(staging);
        writeEntries(
            archive, selected, progress,
            [&](const ArchiveItem& entry) { return staging / entry.path; }, candidate, true);
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
        auto summary = RARArchiveEngine(candidate, true).list(archive, progress);
        const std::set<std::string> chosen{entry.path};
        std::vector<ArchiveItem> selected;
        std::int64_t total = 0;
        for (const auto& listed : summary.entries) {
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
