#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPListingCache.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <string_view>
#include <unistd.h>

namespace vexa {

namespace {

// Opening and closing proves the part is readable now, not only present.
bool opensForReading(const std::filesystem::path& part) {
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    return ::close(fd) == 0;
}

} // namespace

std::string ZIPArchiveEngine::entryName(ZIPReader& reader) {
    const ZipFileInfo& info = reader.currentInfo();
    if (info.filename == nullptr)
        throw ArchiveFailure::corrupt("Nombre de archivo");
    const std::string_view bytes(info.filename, info.filename_size);
    if (bytes.find('\0') != std::string_view::npos)
        throw ArchiveFailure::unsafePath("Nombre con byte nulo");
    if (text::isValidUTF8(bytes))
        return std::string(bytes);
    if ((info.flag & 0x0800) != 0)
        throw ArchiveFailure::corrupt("Nombre UTF-8");
    try {
        return text::decode(bytes, text::CodePage::dosLatinUS);
    } catch (const std::exception&) {
        throw ArchiveFailure::corrupt("Nombre de archivo");
    }
}

std::vector<std::filesystem::path> ZIPArchiveEngine::volumes(const std::filesystem::path& archive,
                                                             ZIPReader& reader) {
    std::uint32_t diskWithDirectory = 0;
    check(reader.zip->getDiskNumberWithCd(&diskWithDirectory));
    if (diskWithDirectory > 99999)
        throw ArchiveFailure::unsupported();

    std::vector<std::filesystem::path> parts;
    // Through a link the other parts lie beside the file it leads to.
    const auto attributes = files::attributesIfExists(archive);
    const std::filesystem::path real =
        attributes && attributes->type == files::FileType::symbolicLink
            ? paths::resolvingSymlinks(archive)
            : archive;
    const std::string stem = paths::deletingPathExtension(real).string();
    for (std::uint32_t i = 1; i <= diskWithDirectory; ++i) {
        char extension[16];
        std::snprintf(extension, sizeof extension, ".z%02u", static_cast<unsigned>(i));
        parts.emplace_back(stem + extension);
    }
    parts.push_back(archive);

    for (const auto& part : parts) {
        const std::string name = paths::lastPathComponent(part);
        std::optional<files::FileAttributes> attributes;
        try {
            // The archive the user opened may be a link to it; the other parts must be files.
            attributes = part == archive ? files::targetAttributesIfExists(part)
                                         : files::attributesIfExists(part);
        } catch (const std::exception&) {
        }
        if (!attributes || attributes->type != files::FileType::regular)
            throw ArchiveFailure::missingVolume(name);
        if (!opensForReading(part))
            throw ArchiveFailure::missingVolume(name);
    }
    return parts;
}

namespace {

// The remembered listing of `archive`, reported to `progress` as a finished walk.
std::shared_ptr<const ArchiveSummary> rememberedListing(const std::filesystem::path& archive,
                                                        Progress& progress) {
    auto remembered = ziplistingcache::find(archive);
    if (remembered) {
        progress.throwIfCancelled();
        const auto count = static_cast<std::int64_t>(remembered->entries.size());
        progress.setTotalUnitCount(count == 0 ? 1 : count);
        progress.setCompletedUnitCount(count);
    }
    return remembered;
}

} // namespace

ArchiveSummary ZIPArchiveEngine::list(const std::filesystem::path& archive, Progress& progress) {
    if (auto remembered = rememberedListing(archive, progress))
        return *remembered;
    // Taken before the read, so that a change during it never matches later.
    const std::string identity = ziplistingcache::identity(archive);
    ArchiveSummary summary = listArchive(archive, progress);
    if (summary.entries.size() <= ziplistingcache::largestRemembered)
        ziplistingcache::remember(std::make_shared<const ArchiveSummary>(summary), identity);
    return summary;
}

std::shared_ptr<const ArchiveSummary>
ZIPArchiveEngine::sharedListing(const std::filesystem::path& archive, Progress& progress) {
    if (auto remembered = rememberedListing(archive, progress))
        return remembered;
    const std::string identity = ziplistingcache::identity(archive);
    auto summary = std::make_shared<const ArchiveSummary>(listArchive(archive, progress));
    ziplistingcache::remember(summary, identity);
    return summary;
}

ArchiveSummary ZIPArchiveEngine::listArchive(const std::filesystem::path& archive,
                                             Progress& progress) {
    const std::optional<JavaArchive> java = javaArchive(archive);
    if (java == JavaArchive::aar && !hasZIPSignature(archive))
        throw ArchiveFailure::appleArchive();

    ZIPReader reader(archive);
    const std::string archiveName = paths::lastPathComponent(archive);

    std::uint64_t declared = 0;
    check(reader.zip->getNumberEntry(&declared));
    if (declared > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ArchiveFailure::corrupt(archiveName);
    const auto count = static_cast<std::int64_t>(declared);
    progress.setTotalUnitCount(count == 0 ? 1 : count);

    std::vector<ArchiveItem> items;
    // The declared count is untrusted, so it only caps the reservation.
    items.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
    std::vector<EntryExtent> extents;
    extents.reserve(items.capacity());
    std::int64_t total = 0;
    int status = reader.handle->gotoFirstEntry();
    while (status == zipstatus::ok) {
        if (progress.isCancelled())
            throw CancellationError();
        const ZipFileInfo& info = reader.currentInfo();
        std::string name = entryName(reader);
        if (info.uncompressed_size < 0 || info.compressed_size < 0)
            throw ArchiveFailure::corrupt(name);
        validatePath(name);
        // The container answers ok for a link, as it does for a folder in entryIsDir.
        if (zipAttribIsSymlink(info.external_fa, info.version_madeby) == zipstatus::ok ||
            (info.linkname != nullptr && info.linkname[0] != '\0'))
            throw ArchiveFailure::symbolicLink(name);
        if ((info.compression_method & 0xFFF7) != 0)
            throw ArchiveFailure::unsupported();
        const bool isDirectory = reader.handle->entryIsDir() == zipstatus::ok;
        if (__builtin_add_overflow(total, std::max<std::int64_t>(info.uncompressed_size, 1),
                                   &total))
            throw ArchiveFailure::corrupt(name);
        extents.push_back({info.disk_number, static_cast<std::uint64_t>(info.disk_offset),
                           30 + static_cast<std::uint64_t>(info.filename_size) +
                               static_cast<std::uint64_t>(info.compressed_size)});
        items.push_back(ArchiveItem{std::move(name), info.uncompressed_size, info.compressed_size,
                                    isDirectory, (info.flag & 1) != 0});
        progress.addCompletedUnits(1);
        status = reader.handle->gotoNextEntry();
    }
    // Writers without ZIP64 store the count modulo 65,536; any other difference hides entries.
    bool zip64 = false;
    check(reader.zip->getZip64(&zip64));
    const auto walked = static_cast<std::uint64_t>(items.size());
    if (status != zipstatus::endOfList ||
        (walked != declared && (zip64 || walked % 65536 != declared)))
        throw ArchiveFailure::corrupt(archiveName);

    checkListing(items, java.has_value());

    ArchiveSummary summary;
    summary.url = archive;
    summary.volumes = volumes(archive, reader);
    checkExtents(reader, extents, items);
    summary.entries = std::move(items);
    summary.format = ArchiveFormat::zip;
    summary.java = java;
    summary.isSigned = isSignedJavaArchive(summary.entries);
    return summary;
}

} // namespace vexa
