#include "engines/sevenzip/SevenZipOpening.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/sevenzip/SevenZipVolumeStream.h"
#include "engines/sevenzip/SevenZipVolumes.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "platform/Paths.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <sys/stat.h>

namespace vexa {

namespace {

class VolumeInput : public sevenzip::SevenZipInput {
  public:
    explicit VolumeInput(const std::vector<std::filesystem::path>& volumes) : stream_(volumes) {}
    std::uint64_t size() const override { return static_cast<std::uint64_t>(stream_.size()); }
    void readAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        stream_.readAt(static_cast<std::int64_t>(offset), buffer, size);
    }
    SevenZipVolumeStream& stream() { return stream_; }

  private:
    SevenZipVolumeStream stream_;
};

// "./a" (what `bsdtar -cf x.7z .` writes) is "a"; "." alone is the root, no entry at all.
std::string withoutCurrentFolderPrefix(std::string name) {
    while (name.starts_with("./"))
        name.erase(0, 2);
    if (name == ".")
        name.clear();
    return name;
}

std::optional<SevenZipEntry> entryOf(const sevenzip::FileEntry& file, bool encrypted) {
    SevenZipEntry entry;
    std::string path = withoutCurrentFolderPrefix(file.name);
    if (path.empty() && !file.name.empty())
        return std::nullopt;
    const auto mode = file.unixMode();
    const mode_t type = mode ? (*mode & S_IFMT) : 0;
    // py7zr stores permission bits without a file type: such an entry is a plain file or folder.
    if (type == S_IFLNK)
        entry.type = files::FileType::symbolicLink;
    else if (type != 0 && type != S_IFREG && type != S_IFDIR)
        entry.type = files::FileType::other;
    else if (file.isDirectory() || (type == S_IFDIR && !file.hasStream))
        entry.type = files::FileType::directory;
    else
        entry.type = files::FileType::regular;

    entry.item.isDirectory = entry.type == files::FileType::directory;
    while (entry.item.isDirectory && path.ends_with('/') && path.size() > 1)
        path.pop_back();
    entry.item.path = entry.item.isDirectory ? path + "/" : path;
    entry.item.size = 0;
    entry.item.compressedSize = 0; // solid folders give no entry a stored size of its own
    entry.item.isEncrypted = encrypted;

    const bool directory = entry.item.isDirectory;
    entry.permissions = mode ? static_cast<mode_t>(*mode & 0777) : (directory ? 0755 : 0644);
    // Bits meant for a umask (0666, 0777) would let every user change what is written.
    if (entry.permissions == 0666 && !directory)
        entry.permissions = 0644;
    else if (entry.permissions == 0777 && directory)
        entry.permissions = 0755;
    entry.attributes = file.attributes;
    entry.modificationTime = file.modificationTime;
    if (file.modificationTime) {
        // A time the clock cannot hold (before 1678 or after 2262) is left out, never wrapped.
        const std::uint64_t raw = *file.modificationTime;
        const std::uint64_t epoch = sevenzip::unixEpochFileTime;
        const std::uint64_t distance = raw >= epoch ? raw - epoch : epoch - raw;
        if (distance <=
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 100)) {
            const auto ticks = static_cast<std::int64_t>(distance) * (raw >= epoch ? 1 : -1);
            entry.modificationDate =
                files::FileTime(std::chrono::duration_cast<files::FileTime::duration>(
                    std::chrono::nanoseconds(ticks * 100)));
        }
    }
    return entry;
}

} // namespace

bool SevenZipOpenArchive::anyEncrypted() const {
    for (std::size_t f = 0; f < archive->folderCount(); ++f)
        if (archive->folderEncrypted(f))
            return true;
    return archive->headerEncrypted();
}

bool SevenZipOpenArchive::decodable() const {
    for (std::size_t f = 0; f < archive->folderCount(); ++f)
        if (!archive->folderDecodable(f))
            return false;
    return true;
}

std::vector<std::optional<std::string>>
sevenZipPasswordForms(const std::optional<std::string>& password, bool exact) {
    if (!password)
        return {std::nullopt};
    if (exact)
        return {password};
    std::vector<std::optional<std::string>> forms;
    for (auto& variant : passwordVariants(*password))
        forms.emplace_back(std::move(variant));
    return forms;
}

SevenZipOpenArchive openSevenZipArchive(const std::vector<std::filesystem::path>& volumes,
                                        const std::optional<std::string>& password, bool exact,
                                        Progress& progress) {
    progress.throwIfCancelled();
    auto input = std::make_shared<VolumeInput>(volumes);
    // A set whose parts fall short of the size its start header announces lacks a part; the
    // header reader could only call that damage, so the missing part is named here.
    const auto startHeader = sevenzip::SevenZipArchive::readStartHeader(*input);
    const auto expected = startHeader ? startHeader->archiveSize() : std::nullopt;
    if (expected && input->size() < *expected) {
        if (const auto next = sevenZipPartLocation(volumes.front(), volumes.size() + 1))
            throw ArchiveFailure::missingVolume(paths::lastPathComponent(*next));
    }

    SevenZipOpenArchive result;
    result.volumes = volumes;
    const auto forms = sevenZipPasswordForms(password, exact);
    for (std::size_t i = 0; i < forms.size(); ++i) {
        try {
            result.archive =
                std::make_shared<sevenzip::SevenZipArchive>(input, startHeader, forms[i], progress);
            result.passwords = result.archive->headerEncrypted()
                                   ? std::vector<std::optional<std::string>>{forms[i]}
                                   : forms;
            break;
        } catch (const ArchiveFailure& failure) {
            if (failure.kind() != ArchiveFailure::Case::wrongPassword || i + 1 == forms.size())
                throw;
        }
    }

    const auto& archive = *result.archive;
    const auto& files = archive.header().files;
    const auto& sizes = archive.header().streams.substreamSizes;
    result.entries.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].anti)
            throw ArchiveFailure::unsupported7z();
        const auto stream = archive.fileStreams()[i];
        const bool encrypted = stream && archive.folderEncrypted(archive.streamFolders()[*stream]);
        auto entry = entryOf(files[i], encrypted);
        if (entry && stream) {
            entry->item.size = static_cast<std::int64_t>(
                std::min<std::uint64_t>(sizes[*stream], static_cast<std::uint64_t>(INT64_MAX)));
            entry->emptyStream = sizes[*stream] == 0;
        }
        result.entries.push_back(std::move(entry));
    }
    return result;
}

} // namespace vexa
