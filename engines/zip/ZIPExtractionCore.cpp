#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPOutputFolders.h"
#include "engines/zip/ZIPReader.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace vexa {

namespace {

// The fields the core needs after the reader has moved on or been released.
struct EntryRecord {
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flag = 0;
    std::int64_t modifiedDate = 0;
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint16_t aesVersion = 0;
};

EntryRecord currentRecord(ZIPReader& reader) {
    const ZipFileInfo& info = reader.currentInfo();
    return {info.version_madeby, info.flag,       info.modified_date, info.crc,
            info.external_fa,    info.aes_version};
}

// Some writers name a Unix host and leave the high half empty: no mode was stored, and taken
// literally it would give a file nobody may read.
mode_t restoredMode(const EntryRecord& record) {
    const int host = record.versionMadeBy >> 8;
    if ((host == 3 || host == 19) && (record.externalAttributes >> 16) != 0)
        return (record.externalAttributes >> 16) & 0777;
    return 0644;
}

void restoreAttributes(int fd, const EntryRecord& record, const std::filesystem::path& location) {
    if (::fchmod(fd, restoredMode(record)) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(record.modifiedDate), 0}};
    if (::futimens(fd, times) != 0)
        throw PlatformError::fromErrno(errno, location.string(), true);
}

} // namespace

void ZIPArchiveEngine::extractEntries(const std::filesystem::path& archive,
                                      const std::vector<ArchiveItem>& entries, Progress& progress,
                                      std::int64_t limit, bool noLimit,
                                      const OutputLocation& outputOf) const {
    ZIPReader reader(archive);
    std::int64_t units = 0;
    for (const ArchiveItem& entry : entries)
        units += std::max<std::int64_t>(entry.size, 1);
    progress.setTotalUnitCount(units);

    std::optional<std::string> passwordBytes = resolved;
    if (!passwordBytes && password)
        passwordBytes = zipPasswordCandidates(*password).front();

    int status = reader.handle->gotoFirstEntry();
    for (const ArchiveItem& entry : entries) {
        progress.throwIfCancelled();
        const std::filesystem::path output = outputOf(entry);
        if (entry.isDirectory) {
            createOutputFolders(output);
            progress.addCompletedUnits(1);
            continue;
        }

        reader.moveForwardTo(status, entry.path);
        const EntryRecord record = currentRecord(reader);
        if (entry.isEncrypted && !password)
            throw ArchiveFailure::passwordRequired();

        createOutputFolders(output.parent_path());
        files::FileDescriptor file;
        try {
            file = files::FileDescriptor(files::createFile(output, 0600));
        } catch (const PlatformError&) {
            throw PlatformError(PlatformError::Code::fileWriteUnknown, output.string());
        }

        check(reader.zip->entryReadOpen(0, passwordBytes ? passwordBytes->c_str() : nullptr));
        // Data decrypted with a wrong password that passed the header's one-byte check has any
        // length and content, so a mismatch in an encrypted entry reads as a wrong password.
        const bool encrypted = (record.flag & 1) != 0;
        const auto mismatch = [&] {
            if (encrypted)
                return ArchiveFailure::wrongPassword();
            return ArchiveFailure::corrupt(entry.path);
        };
        uLong crc = crc32(0L, Z_NULL, 0);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize), 0);
        std::int64_t written = 0;
        while (true) {
            progress.throwIfCancelled();
            const std::int32_t count = reader.zip->entryRead(buffer.data(), bufferSize);
            checkDataRead(count, encrypted);
            if (count == 0)
                break;
            crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
            written += count;
            if (written > entry.size)
                throw mismatch();
            if (!noLimit && written > limit)
                throw ArchiveFailure::corrupt(entry.path);
            files::writeAll(file.get(), buffer.data(), static_cast<std::size_t>(count), output);
            progress.addCompletedUnits(count);
        }
        check(reader.zip->entryReadClose(nullptr, nullptr, nullptr));
        if (written != entry.size)
            throw mismatch();
        // AE-2 leaves the CRC-32 out on purpose; its authentication code stands in for it.
        if (record.aesVersion != 2 && crc != record.crc)
            throw mismatch();
        if (written == 0)
            progress.addCompletedUnits(1);
        restoreAttributes(file.get(), record, output);
        ::close(file.release());
    }
}

} // namespace vexa
