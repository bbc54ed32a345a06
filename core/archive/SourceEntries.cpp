#include "core/archive/SourceEntries.h"

#include "core/archive/EntryValidation.h"
#include "core/archive/FolderNames.h"
#include "core/archive/SourceChecksums.h"
#include "platform/Crc32.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/ReadWrite.h"
#include "platform/TextRules.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

ArchiveFailure unstorableNameFailure(ArchiveFormat format, const std::string& name) {
    const std::string message = unstorableNameMessage(name);
    switch (format) {
    case ArchiveFormat::tar:
        return ArchiveFailure::tarFailure(message);
    case ArchiveFormat::sevenZip:
        return ArchiveFailure::sevenZipFailure(message);
    case ArchiveFormat::zip:
    case ArchiveFormat::rar:
        break;
    }
    return ArchiveFailure::rarCreation(message);
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

namespace {

struct FolderCloser {
    void operator()(DIR* folder) const { ::closedir(folder); }
};

// One item of a walk, looked up as `leaf` within the folder open as `parent` (AT_FDCWD and the
// whole path for a chosen item), so that the system does not walk every path from its root
// again. `location` is the whole path, for the entry and for messages.
void collectItem(int parent, const char* leaf, const std::string& location, const std::string& name,
                 Progress& progress, std::set<std::string>& duplicateKeys, SourceEntryMap& entries,
                 std::int64_t& units, const SourceWalkRules& rules) {
    progress.throwIfCancelled();
    struct stat status {};
    if (::fstatat(parent, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0)
        throw PlatformError::fromErrno(errno, location, false);
    if (S_ISLNK(status.st_mode))
        throw ArchiveFailure::symbolicLink(name);
    if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode))
        throw specialFileFailure(rules.format, name);
    if (isUnsafeName(name))
        throw ArchiveFailure::unsafePath(name);
    if (rules.utf8Names && !text::isValidUTF8(name))
        throw unstorableNameFailure(rules.format, name);

    const bool isDirectory = S_ISDIR(status.st_mode);
    std::string entryPath = isDirectory ? name + "/" : name;
    if (!duplicateKeys.insert(nameKey(entryPath)).second)
        throw ArchiveFailure::duplicate(name);

    const std::int64_t size = isDirectory ? 0 : static_cast<std::int64_t>(status.st_size);
    entries[std::move(entryPath)] =
        RARSourceEntry{SourceLocation::fromText(location), size, isDirectory};
    units += std::max<std::int64_t>(size, 1);

    if (!isDirectory)
        return;
    // Held open while the children are walked: they are looked up within it.
    std::unique_ptr<DIR, FolderCloser> folder;
    const int descriptor = ::openat(parent, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor >= 0) {
        folder.reset(::fdopendir(descriptor));
        if (!folder)
            ::close(descriptor);
    }
    if (!folder)
        throw PlatformError::fromErrno(errno, location, false);
    std::vector<std::string> children;
    for (;;) {
        // readdir reports an error only through errno.
        errno = 0;
        const dirent* record = ::readdir(folder.get());
        if (!record) {
            if (errno != 0)
                throw PlatformError::fromErrno(errno, location, false);
            break;
        }
        std::string child = record->d_name;
        if (child != "." && child != "..")
            children.push_back(std::move(child));
    }
    for (const std::string& child : children) {
        // A chosen folder given with a final "/" names its children without a second one.
        const std::string childLocation =
            location.ends_with('/') ? location + child : location + "/" + child;
        // Metadata another system left beside its files is not the user's data.
        if (!rules.keepSidecars && child.starts_with("._") &&
            isAppleDoubleSidecar(childLocation, child)) {
            if (rules.leftOut != nullptr)
                rules.leftOut->push_back(name + "/" + child);
            continue;
        }
        collectItem(::dirfd(folder.get()), child.c_str(), childLocation, name + "/" + child,
                    progress, duplicateKeys, entries, units, rules);
    }
}

} // namespace

void collectSourceEntries(const std::filesystem::path& location, const std::string& name,
                          Progress& progress, std::set<std::string>& duplicateKeys,
                          SourceEntryMap& entries, std::int64_t& units,
                          const SourceWalkRules& rules) {
    collectItem(AT_FDCWD, location.c_str(), location.string(), name, progress, duplicateKeys,
                entries, units, rules);
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
    std::uint32_t crc = 0;
    for (;;) {
        progress.throwIfCancelled();
        const ssize_t count = platform::readSome(file.get(), block.data(), block.size());
        if (count < 0)
            throw PlatformError::fromErrno(errno, location.string(), false);
        if (count == 0)
            break;
        crc = platform::crc32(crc, block.data(), static_cast<std::size_t>(count));
        progress.addCompletedUnits(count);
    }
    return static_cast<std::uint32_t>(crc);
}

std::string unstorableNameMessage(const std::string& entryPath) {
    return "el nombre «" + entryPath + "» no es UTF-8 válido y no se puede guardar tal como está.";
}

std::string changedSourceMessage(const std::string& entryPath) {
    return "«" + entryPath +
           "» no coincide con el original. Puede haber cambiado durante la compresión.";
}

const char* contentMismatchMessage(ArchiveFailure::Case kind) {
    switch (kind) {
    case ArchiveFailure::Case::tarFailure:
        return "el contenido del TAR no coincide con los archivos seleccionados.";
    case ArchiveFailure::Case::sevenZipFailure:
        return "el contenido del 7z no coincide con los archivos seleccionados.";
    default:
        return kContentMismatchMessage;
    }
}

void verifyRARAgainstSources(const ReadBackEntries& archived, const SourceEntryMap& sources,
                             Progress& progress, ArchiveFailure::Case kind,
                             SourceChecksums* checksums) {
    for (const auto& [path, source] : sources) {
        progress.throwIfCancelled();
        const auto found = archived.find(path);
        if (found == archived.end() || found->second.first.isDirectory != source.isDirectory)
            throw ArchiveFailure::make(kind, contentMismatchMessage(kind));
        if (source.isDirectory) {
            progress.addCompletedUnits(1);
            continue;
        }
        const auto& [item, crc] = found->second;
        if (item.size != source.size || !crc ||
            (checksums ? checksums->crc(source, progress) : crc32OfFile(source.url, progress)) !=
                *crc)
            throw ArchiveFailure::make(kind, changedSourceMessage(path));
        if (source.size == 0)
            progress.addCompletedUnits(1);
    }
}

} // namespace vexa
