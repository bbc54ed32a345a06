#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPWriter.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/Secrets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vexa {

namespace {

constexpr std::uint32_t folderAttributes = 0x41ED0010; // drwxr-xr-x, DOS folder bit

} // namespace

void ZIPArchiveEngine::addFile(const std::string& path, const std::filesystem::path& url,
                               ZIPWriter& writer, bool useCompression, Progress& progress) const {
    progress.throwIfCancelled();
    const std::filesystem::path location(url.string());
    // A special file put in place of a walked one could block the read below for ever.
    const files::FileAttributes attributes = admittedSource(location, path);
    const bool isDirectory = attributes.type == files::FileType::directory;

    ZipFileInfo header;
    header.version_madeby = 0x033F;
    header.flag = 0x0800;
    header.compression_method = useCompression ? 8 : 0;
    header.modified_date = std::chrono::duration_cast<std::chrono::seconds>(
                               attributes.modificationDate.time_since_epoch())
                               .count();
    const std::int64_t size = isDirectory ? 0 : std::max<std::int64_t>(attributes.size, 0);
    if (isDirectory) {
        header.external_fa = folderAttributes;
    } else {
        header.external_fa =
            0x80000000u |
            ((static_cast<std::uint32_t>(attributes.permissions) << 16) & 0x01FF0000u);
        header.uncompressed_size = size;
        if (password) {
            header.aes_version = 2;
            header.aes_strength = 3;
        }
    }

    auto child = std::make_shared<Progress>(std::max<std::int64_t>(size, 1));
    progress.addChild(child, 1);

    std::optional<std::string> passwordBytes = workingPassword();
    const secrets::WipedOnExit wipePassword(passwordBytes);

    const std::string name = isDirectory && !path.ends_with('/') ? path + "/" : path;
    writer.openEntry(name, header, useCompression, isDirectory, passwordBytes);

    if (isDirectory) {
        check(writer.zip->entryClose());
        child->setCompletedUnitCount(child->totalUnitCount());
        return;
    }

    files::FileDescriptor file(::open(location.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError(PlatformError::Code::fileReadNoPermission, location.string(), errno);

    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(bufferSize, 1)));
    std::int64_t total = 0;
    while (true) {
        progress.throwIfCancelled();
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw PlatformError::fromErrno(errno, location.string(), false);
        }
        if (count == 0)
            break;
        const std::int32_t written =
            writer.zip->entryWrite(buffer.data(), static_cast<std::int32_t>(count));
        check(written);
        if (written != count)
            throw PlatformError(PlatformError::Code::fileWriteUnknown, location.string());
        total += count;
        child->setCompletedUnitCount(total);
    }
    // Named as the other writers name a source that changed under the read.
    if (total != size)
        throw ArchiveFailure::corrupt("«" + path +
                                      "» no coincide con el original. Puede haber cambiado "
                                      "durante la compresión.");
    try {
        file.close();
    } catch (const std::exception&) {
    }
    check(writer.zip->entryClose());
    child->setCompletedUnitCount(child->totalUnitCount());
}

} // namespace vexa
