#include "engines/sevenzip/SevenZipExtraction.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipFolderData.h"
#include "engines/sevenzip/SevenZipFolderDecoding.h"
#include "engines/sevenzip/SevenZipReader.h"
#include "platform/ExtractedFolders.h"
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

void createFolders(const std::filesystem::path& location) {
    std::error_code error;
    std::filesystem::create_directories(location, error);
    if (error)
        throw PlatformError::fromErrno(error.value(), location.string(), true);
}

void finishFile(int descriptor, const SevenZipEntry& entry, const std::filesystem::path& location) {
    // Through the descriptor: the name could be swapped for a link between close and chmod.
    if (::fchmod(descriptor, entry.permissions) != 0)
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
        if (::futimens(descriptor, times) != 0)
            throw PlatformError::fromErrno(errno, location.string(), true);
    }
}

// One extracted file while it is written: created new, held to the entry's listed size, and
// given the entry's permissions and time once complete.
class ExtractedFile {
  public:
    ExtractedFile(const SevenZipEntry& entry, std::filesystem::path location, Progress& progress)
        : entry_(entry), location_(std::move(location)), progress_(progress) {
        createFolders(location_.parent_path());
        file_ = files::FileDescriptor(files::createPrivateFile(location_));
    }

    void write(const std::uint8_t* bytes, std::size_t size) {
        written_ += static_cast<std::int64_t>(size);
        if (written_ > entry_.item.size)
            throw ArchiveFailure::corrupt(entry_.item.path);
        files::writeAll(file_.get(), bytes, size, location_);
        progress_.addCompletedUnits(static_cast<std::int64_t>(size));
    }

    void finish() {
        if (written_ != entry_.item.size)
            throw ArchiveFailure::corrupt(entry_.item.path);
        if (entry_.item.size == 0)
            progress_.addCompletedUnits(1);
        finishFile(file_.get(), entry_, location_);
        file_.close();
    }

  private:
    const SevenZipEntry& entry_;
    std::filesystem::path location_;
    Progress& progress_;
    files::FileDescriptor file_;
    std::int64_t written_ = 0;
};

// Streams one file from `read` (0 at its end) to a new file at `location`.
template <typename Read>
void writeFile(Read&& read, const SevenZipEntry& entry, const std::filesystem::path& location,
               std::vector<std::uint8_t>& buffer, Progress& progress) {
    ExtractedFile file(entry, location, progress);
    while (true) {
        progress.throwIfCancelled();
        const std::size_t count = read(buffer.data(), buffer.size());
        if (count == 0)
            break;
        file.write(buffer.data(), count);
    }
    file.finish();
}

// The archives the container layer cannot decode (PPMd and the like) go entry by entry
// through the reader, which hands them to libarchive.
void writeSequentially(const SevenZipOpenArchive& open, std::map<std::string, ArchiveItem>& pending,
                       Progress& progress, const SevenZipDestination& destination,
                       files::ExtractedFolders& folders) {
    std::vector<std::uint8_t> buffer(blockSize);
    SevenZipReader reader(open.volumes, progress);
    while (!pending.empty()) {
        auto entry = reader.next();
        if (!entry)
            break;
        const auto found = pending.find(entry->item.path);
        if (found == pending.end())
            continue;
        pending.erase(found);
        const std::filesystem::path location = destination(entry->item);
        if (entry->type == files::FileType::directory) {
            createFolders(location);
            folders.add(location, entry->modificationDate, entry->permissions);
            progress.addCompletedUnits(1);
        } else if (entry->type == files::FileType::regular) {
            writeFile([&](std::uint8_t* out, std::size_t size) { return reader.read(out, size); },
                      *entry, location, buffer, progress);
        } else {
            throw ArchiveFailure::archiveChanged();
        }
    }
}

// Writes each file it is given to a new file at its destination, in one write per piece the
// decoder hands over.
class FileWriterSink : public SevenZipFileSink {
  public:
    FileWriterSink(const SevenZipOpenArchive& open, Progress& progress,
                   const SevenZipDestination& destination)
        : open_(open), progress_(progress), destination_(destination) {}

    void begin(std::size_t file) override {
        const SevenZipEntry& entry = *open_.entries[file];
        file_.reset();
        file_.emplace(entry, destination_(entry.item), progress_);
    }

    void data(const std::uint8_t* bytes, std::size_t size) override { file_->write(bytes, size); }

    void end(std::uint32_t) override {
        file_->finish();
        file_.reset();
    }

  private:
    const SevenZipOpenArchive& open_;
    Progress& progress_;
    const SevenZipDestination& destination_;
    std::optional<ExtractedFile> file_;
};

} // namespace

bool isSelectedSevenZipPath(const std::string& path, const std::set<std::string>& requested) {
    if (requested.empty() || requested.contains(path))
        return true;
    return std::any_of(requested.begin(), requested.end(), [&](const std::string& member) {
        const std::string prefix = member.ends_with('/') ? member : member + "/";
        return path.starts_with(prefix);
    });
}

void writeSevenZipEntries(const SevenZipOpenArchive& open, const std::vector<ArchiveItem>& selected,
                          Progress& progress, const SevenZipDestination& destination) {
    std::map<std::string, ArchiveItem> pending;
    std::int64_t total = 0;
    for (const auto& item : selected) {
        pending.emplace(item.path, item);
        total += std::max<std::int64_t>(item.size, 1);
    }
    progress.setTotalUnitCount(total);
    files::ExtractedFolders folders;

    if (!open.decodable()) {
        writeSequentially(open, pending, progress, destination, folders);
    } else {
        // Decide the password before anything is written: a wrong one writes nothing.
        const auto password = resolveSevenZipDataPassword(open, progress);
        std::vector<std::size_t> withData;
        for (std::size_t file = 0; file < open.entries.size(); ++file) {
            const auto& entry = open.entries[file];
            if (!entry)
                continue;
            const auto found = pending.find(entry->item.path);
            if (found == pending.end())
                continue;
            pending.erase(found);
            const auto location = destination(entry->item);
            if (entry->type == files::FileType::directory) {
                createFolders(location);
                folders.add(location, entry->modificationDate, entry->permissions);
                progress.addCompletedUnits(1);
            } else if (entry->type != files::FileType::regular) {
                throw ArchiveFailure::archiveChanged();
            } else if (!open.archive->fileStreams()[file]) {
                std::vector<std::uint8_t> none;
                writeFile([](std::uint8_t*, std::size_t) { return std::size_t{0}; }, *entry,
                          location, none, progress);
            } else {
                withData.push_back(file);
            }
        }
        if (pending.empty())
            decodeSevenZipFiles(open, password, withData, progress, [&] {
                return std::make_unique<FileWriterSink>(open, progress, destination);
            });
    }
    if (!pending.empty())
        throw ArchiveFailure::archiveChanged();

    progress.throwIfCancelled();
    folders.finish();
}

} // namespace vexa
