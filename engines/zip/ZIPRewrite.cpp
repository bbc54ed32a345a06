#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/ZIPWriter.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vexa {

namespace {

// The shortest text that reads back as the same double, always with a decimal point.
std::string secondsText(double seconds) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos)
        text += ".0";
    return text;
}

std::string withoutFinalSlash(const std::string& path) {
    return !path.empty() && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

// Where the archive's own bytes begin: the first entry's local header, or the central
// directory of an archive without entries. What lies before it is a self-extracting stub.
std::uint64_t prefixLength(ZIPReader& reader) {
    std::uint64_t first = 0;
    ZIPArchiveEngine::check(reader.zip->getSetPosition(0, 0, true, &first));
    for (int status = reader.handle->gotoFirstEntry(); status == zipstatus::ok;
         status = reader.handle->gotoNextEntry()) {
        const ZipFileInfo& info = reader.currentInfo();
        std::uint64_t position = 0;
        ZIPArchiveEngine::check(reader.zip->getSetPosition(
            info.disk_number, static_cast<std::uint64_t>(info.disk_offset), false, &position));
        first = std::min(first, position);
    }
    std::uint64_t bias = 0;
    ZIPArchiveEngine::check(reader.zip->getBias(&bias));
    return first + bias;
}

// Copies the first `length` bytes of the archive in front of the new one's entries.
void copyPrefix(const std::filesystem::path& archive, std::uint64_t length, ZIPWriter& writer,
                std::vector<unsigned char>& buffer) {
    files::FileDescriptor file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError::fromErrno(errno, archive.string(), false);
    std::uint64_t done = 0;
    while (done < length) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
        const ssize_t count = ::pread(file.get(), buffer.data(), want, static_cast<off_t>(done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw PlatformError::fromErrno(errno, archive.string(), false);
        if (count == 0)
            throw ArchiveFailure::archiveChanged();
        ZIPArchiveEngine::check(
            writer.zip->writePrefix(buffer.data(), static_cast<std::size_t>(count)));
        done += static_cast<std::uint64_t>(count);
    }
}

} // namespace

std::string ZIPArchiveEngine::snapshot(const std::filesystem::path& location) {
    const files::FileAttributes attributes = files::attributesOfItem(location);
    const double seconds =
        std::chrono::duration<double>(attributes.modificationDate.time_since_epoch()).count();
    return std::to_string(attributes.fileNumber) + "|" + std::to_string(attributes.size) + "|" +
           secondsText(seconds);
}

std::filesystem::path ZIPArchiveEngine::rewrite(
    const std::filesystem::path& archive, const std::vector<ArchiveItem>& kept,
    const std::vector<ZIPSourceEntry>& added, const std::map<std::string, std::string>& renames,
    Progress& progress, const std::string& fingerprint,
    const std::optional<std::filesystem::path>& output) const {
    Progress listingProgress;
    const ArchiveSummary listing = ZIPArchiveEngine(*this).list(archive, listingProgress);
    if (listing.volumes.size() > 1 && (!output || *output == archive))
        throw ArchiveFailure::splitEditing();
    const std::filesystem::path target = output ? *output : archive;

    std::vector<std::string> volumeFingerprints;
    for (const std::filesystem::path& volume : listing.volumes)
        volumeFingerprints.push_back(snapshot(volume));

    const std::filesystem::path temporary = files::itemReplacementDirectory(target);
    files::ScopedRemoval removal(temporary);
    // The read-back applies the rules of the kind the target's name announces.
    const std::string extension =
        javaArchive(target) ? text::lowercased(paths::pathExtension(target)) : std::string("zip");
    const std::filesystem::path temporaryArchive = temporary / ("archive." + extension);

    {
        ZIPReader reader(archive);
        ZIPWriter writer(temporaryArchive, 0);
        progress.setTotalUnitCount(static_cast<std::int64_t>(kept.size() + added.size()));
        std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(bufferSize, 1)));
        // The archive comment and a self-extracting stub stay; the stub's length shifts every
        // offset of the new archive, as in an archive made with it.
        std::string comment;
        check(reader.zip->getComment(&comment));
        check(writer.zip->setComment(comment));
        if (listing.volumes.size() == 1)
            copyPrefix(archive, prefixLength(reader), writer, buffer);
        int status = reader.handle->gotoFirstEntry();
        for (const ArchiveItem& entry : kept) {
            progress.throwIfCancelled();
            reader.moveForwardTo(status, entry.path);
            ZipFileInfo header = reader.currentInfo();
            header.flag |= 0x0800;
            check(reader.zip->entryReadOpen(1, nullptr));
            const auto renamed = renames.find(entry.path);
            const std::string& name = renamed != renames.end() ? renamed->second : entry.path;
            writer.openRawEntry(name, header);

            auto child =
                std::make_shared<Progress>(std::max<std::int64_t>(header.compressed_size, 1));
            progress.addChild(child, 1);
            std::int64_t copied = 0;
            while (true) {
                progress.throwIfCancelled();
                const std::int32_t count =
                    reader.zip->entryRead(buffer.data(), static_cast<std::int32_t>(buffer.size()));
                check(count);
                if (count == 0)
                    break;
                const std::int32_t written = writer.zip->entryWrite(buffer.data(), count);
                check(written);
                if (written != count)
                    throw PlatformError(PlatformError::Code::fileWriteUnknown,
                                        temporaryArchive.string());
                copied += count;
                child->setCompletedUnitCount(copied);
            }
            std::uint32_t crc = 0;
            std::int64_t compressedSize = 0;
            std::int64_t uncompressedSize = 0;
            check(reader.zip->entryReadClose(&crc, &compressedSize, &uncompressedSize));
            check(writer.zip->entryWriteClose(crc, compressedSize, uncompressedSize));
            child->setCompletedUnitCount(child->totalUnitCount());
            status = reader.handle->gotoNextEntry();
        }
        for (const ZIPSourceEntry& entry : added)
            addFile(entry.path, entry.url, writer, true, progress);
        writer.close();
    }

    Progress verification;
    const ArchiveSummary written = ZIPArchiveEngine(*this).list(temporaryArchive, verification);
    progress.throwIfCancelled();
    // The new archive holds exactly the planned entries, so an edit never drops one silently.
    std::vector<std::string> expected;
    expected.reserve(kept.size() + added.size());
    for (const ArchiveItem& entry : kept) {
        const auto renamed = renames.find(entry.path);
        expected.push_back(
            withoutFinalSlash(renamed != renames.end() ? renamed->second : entry.path));
    }
    for (const ZIPSourceEntry& entry : added)
        expected.push_back(withoutFinalSlash(entry.path));
    bool same = written.entries.size() == expected.size();
    for (std::size_t i = 0; same && i < expected.size(); ++i)
        same = withoutFinalSlash(written.entries[i].path) == expected[i];
    if (!same)
        throw ArchiveFailure::corrupt(paths::lastPathComponent(archive));

    if (snapshot(archive) != fingerprint)
        throw ArchiveFailure::archiveChanged();
    for (std::size_t i = 0; i < listing.volumes.size(); ++i)
        if (snapshot(listing.volumes[i]) != volumeFingerprints[i])
            throw ArchiveFailure::archiveChanged();

    files::placeItem(temporaryArchive, target);
    return target;
}

} // namespace vexa
