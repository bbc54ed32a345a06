#include "core/archive/SourceEntries.h"

#include "core/archive/EntryValidation.h"
#include "core/archive/FolderNames.h"
#include "core/archive/SourceChecksums.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace vexa {

namespace {

bool isUnsafeName(const std::string& name) {
    if (name.empty() || name.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
        return true;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

ArchiveFailure specialFileFailure(ArchiveFormat format, const std::string& name) {
    switch (format) {
    case ArchiveFormat::tar:
        return ArchiveFailure::unsupportedTar(name);
    case ArchiveFormat::sevenZip:
        return ArchiveFailure::unsupported7z();
    case ArchiveFormat::zip:
        return ArchiveFailure::unsupported();
    case ArchiveFormat::rar:
        break;
    }
    return ArchiveFailure::unsupportedRAR();
}

} // namespace

bool isAppleDoubleSidecar(const std::filesystem::path& location, const std::string& name) {
    if (!name.starts_with("._"))
        return false;
    files::FileDescriptor file(
        ::open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    unsigned char magic[4] = {};
    return ::pread(file.get(), magic, sizeof magic, 0) == 4 && magic[0] == 0x00 &&
           magic[1] == 0x05 && magic[2] == 0x16 && magic[3] == 0x07;
}

void collectSourceEntries(const std::filesystem::path& location, const std::string& name,
                          Progress& progress, std::set<std::string>& duplicateKeys,
                          SourceEntryMap& entries, std::int64_t& units,
                          const SourceWalkRules& rules) {
    progress.throwIfCancelled();
    const files::FileAttributes attributes = files::attributesOfItem(location);
    if (attributes.type == files::FileType::symbolicLink)
        throw ArchiveFailure::symbolicLink(name);
    if (attributes.type == files::FileType::other)
        throw specialFileFailure(rules.format, name);
    if (isUnsafeName(name))
        throw ArchiveFailure::unsafePath(name);

    const bool isDirectory = attributes.type == files::FileType::directory;
    std::string entryPath = isDirectory ? name + "/" : name;
    if (!duplicateKeys.insert(nameKey(entryPath)).second)
        throw ArchiveFailure::duplicate(name);

    const std::int64_t size = isDirectory ? 0 : attributes.size;
    entries[std::move(entryPath)] = RARSourceEntry{location, size, isDirectory};
    units += std::max<std::int64_t>(size, 1);

    if (!isDirectory)
        return;
    for (const std::string& child : folderChildNames(location)) {
        // Metadata another system left beside its files is not the user's data.
        if (!rules.keepSidecars && isAppleDoubleSidecar(location / child, child)) {
            if (rules.leftOut != nullptr)
                rules.leftOut->push_back(name + "/" + child);
            continue;
        }
        collectSourceEntries(location / child, name + "/" + child, progress, duplicateKeys, entries,
                             units, rules);
    }
}

bool liesWithinSource(const std::filesystem::path& destination,
                      const std::filesystem::path& source) {
    const std::string inner = paths::resolvingSymlinks(destination).string();
    const std::string outer = paths::resolvingSymlinks(source).string();
    // The root keeps its slash once resolved.
    return inner == outer || inner.starts_with(outer.ends_with('/') ? outer : outer + "/");
}

std::uint32_t crc32OfFile(const std::filesystem::path& location, Progress& progress) {
    files::FileDescriptor file(::open(location.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        throw PlatformError::fromErrno(errno, location.string(), false);
    constexpr std::size_t blockSize = 262144;
    std::vector<unsigned char> block(blockSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (;;) {
        progress.throwIfCancelled();
        const ssize_t count = ::read(file.get(), block.data(), block.size());
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw PlatformError::fromErrno(errno, location.string(), false);
        }
        if (count == 0)
            break;
        crc = crc32(crc, block.data(), static_cast<uInt>(count));
        progress.addCompletedUnits(count);
    }
    return static_cast<std::uint32_t>(crc);
}

void verifyRARAgainstSources(const ReadBackEntries& archived, const SourceEntryMap& sources,
                             Progress& progress, ArchiveFailure::Case kind,
                             SourceChecksums* checksums) {
    for (const auto& [path, source] : sources) {
        progress.throwIfCancelled();
        const auto found = archived.find(path);
        if (found == archived.end() || found->second.first.isDirectory != source.isDirectory)
            throw ArchiveFailure::make(kind, kContentMismatchMessage);
        if (source.isDirectory) {
            progress.addCompletedUnits(1);
            continue;
        }
        const auto& [item, crc] = found->second;
        if (item.size != source.size || !crc ||
            (checksums ? checksums->crc(source, progress) : crc32OfFile(source.url, progress)) !=
                *crc)
            throw ArchiveFailure::make(kind, "«" + path +
                                                 "» no coincide con el original. Puede haber "
                                                 "cambiado durante la compresión.");
        if (source.size == 0)
            progress.addCompletedUnits(1);
    }
}

} // namespace vexa
