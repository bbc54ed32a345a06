#include "core/archive/ArchiveFailure.h"
#include "core/archive/PasswordVariants.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPEntryHeader.h"
#include "engines/zip/ZIPPieceCompression.h"
#include "engines/zip/ZIPWriter.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"
#include "platform/Secrets.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vexa {

void ZIPArchiveEngine::addFile(const std::string& path, const std::filesystem::path& url,
                               ZIPWriter& writer, bool useCompression, Progress& progress) const {
    progress.throwIfCancelled();
    const std::filesystem::path location(url.string());
    // A special file put in place of a walked one could block the read below for ever.
    const files::FileAttributes attributes = admittedSource(location, path);
    const bool isDirectory = attributes.type == files::FileType::directory;

    ZipFileInfo header = newEntryHeader(attributes, useCompression, password.has_value());
    const std::int64_t size = header.uncompressed_size;

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
        const ssize_t count = platform::readSome(file.get(), buffer.data(), buffer.size());
        if (count < 0)
            throw PlatformError::fromErrno(errno, location.string(), false);
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
    if (total != size)
        throwSourceChanged(path);
    try {
        file.close();
    } catch (const std::exception&) {
    }
    check(writer.zip->entryClose());
    child->setCompletedUnitCount(child->totalUnitCount());
}

} // namespace vexa
