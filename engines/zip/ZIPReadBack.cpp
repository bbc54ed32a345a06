#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/ZIPRewriteSteps.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/Crc32.h"
#include "platform/Paths.h"
#include "platform/Secrets.h"

namespace vexa::ziprewrite {

namespace {

// Reads the current entry through to its end: decoded and checked against its CRC-32 and size
// when `decode`, else its stored bytes (whose key may not be known here) against their count.
void readThrough(ZIPReader& reader, const ZipFileInfo& info, bool decode,
                 const std::optional<std::string>& password, std::vector<unsigned char>& buffer,
                 Progress& progress, const std::string& name) {
    const bool encrypted = (info.flag & 1) != 0;
    const char* key = decode && encrypted && password ? password->c_str() : nullptr;
    ZIPArchiveEngine::check(reader.zip->entryReadOpen(decode ? 0 : 1, key));
    std::uint32_t crc = 0;
    std::int64_t total = 0;
    while (true) {
        progress.throwIfCancelled();
        const std::int32_t count =
            reader.zip->entryRead(buffer.data(), static_cast<std::int32_t>(buffer.size()));
        ZIPArchiveEngine::checkDataRead(count, encrypted && decode);
        if (count == 0)
            break;
        if (decode)
            crc = platform::crc32(crc, buffer.data(), static_cast<std::size_t>(count));
        total += count;
    }
    ZIPArchiveEngine::check(reader.zip->entryReadClose(nullptr, nullptr, nullptr));
    const std::int64_t expected = decode ? info.uncompressed_size : info.compressed_size;
    // AE-2 leaves the CRC out; its authentication code was checked by the close.
    const bool crcKnown = decode && info.aes_version != 2;
    if (total != expected || (crcKnown && crc != info.crc))
        throw ArchiveFailure::corrupt(name);
}

} // namespace

ArchiveSummary readBack(const ZIPArchiveEngine& engine, const std::filesystem::path& written,
                        const std::filesystem::path& target, const std::vector<ArchiveItem>& kept,
                        const std::map<std::string, std::string>& renames,
                        const std::vector<ZIPSourceEntry>& added,
                        const std::vector<PlannedEntry>& planned, Progress& progress) {
    const std::optional<JavaArchive> java = javaArchive(target);
    if (java == JavaArchive::aar && !hasZIPSignature(written))
        throw ArchiveFailure::appleArchive();
    const ArchiveFailure mismatch = ArchiveFailure::corrupt(paths::lastPathComponent(target));

    ZIPReader reader(written);
    std::uint64_t declared = 0;
    ZIPArchiveEngine::check(reader.zip->getNumberEntry(&declared));
    if (declared != planned.size())
        throw mismatch;

    std::optional<std::string> password = engine.workingPassword();
    const secrets::WipedOnExit wipePassword(password);
    std::vector<unsigned char> buffer;
    std::vector<ArchiveItem> items;
    items.reserve(planned.size());
    std::vector<ZIPArchiveEngine::EntryExtent> extents;
    extents.reserve(planned.size());
    int status = reader.handle->gotoFirstEntry();
    for (std::size_t i = 0; i < planned.size(); ++i) {
        progress.throwIfCancelled();
        if (status != zipstatus::ok)
            throw mismatch;
        const PlannedEntry& plan = planned[i];
        const ZipFileInfo& info = reader.currentInfo();
        std::string name = ZIPArchiveEngine::entryName(reader);
        const bool isDirectory = reader.handle->entryIsDir() == zipstatus::ok;
        if (i < kept.size()) {
            if (name != newName(kept[i], renames) || info.crc != plan.crc ||
                info.compressed_size != plan.compressedSize ||
                info.uncompressed_size != plan.uncompressedSize ||
                info.compression_method != plan.method || info.aes_version != plan.aesVersion ||
                ((info.flag & 1) != 0) != plan.encrypted)
                throw mismatch;
        } else {
            const std::string& path = added[i - kept.size()].path;
            if (name != path && !(isDirectory && name == path + "/"))
                throw mismatch;
            ZIPArchiveEngine::validatePath(name);
        }
        if (info.disk_number != 0 || static_cast<std::uint64_t>(info.disk_offset) != plan.offset)
            throw mismatch;
        // What a listing refuses, checked again on what was written.
        if (zipAttribIsSymlink(info.external_fa, info.version_madeby) == zipstatus::ok ||
            (info.linkname != nullptr && info.linkname[0] != '\0') ||
            (info.compression_method & 0xFFF7) != 0 || info.compressed_size < 0 ||
            info.uncompressed_size < 0)
            throw mismatch;
        if (plan.checkData && !isDirectory) {
            if (buffer.empty())
                buffer.resize(static_cast<std::size_t>(std::max(engine.bufferSize, 1)));
            // Kept entries keep the key they came with, which need not be this one.
            const bool decode = plan.added || (info.flag & 1) == 0;
            readThrough(reader, info, decode, password, buffer, progress, name);
        }
        extents.push_back({info.disk_number, static_cast<std::uint64_t>(info.disk_offset),
                           30 + static_cast<std::uint64_t>(info.filename_size) +
                               static_cast<std::uint64_t>(info.compressed_size)});
        items.push_back(ArchiveItem{std::move(name), info.uncompressed_size, info.compressed_size,
                                    isDirectory, (info.flag & 1) != 0});
        status = reader.handle->gotoNextEntry();
    }
    if (status != zipstatus::endOfList)
        throw mismatch;
    ZIPArchiveEngine::checkExtents(reader, extents, items);

    ArchiveSummary summary;
    summary.url = target;
    summary.volumes = {target};
    summary.entries = std::move(items);
    summary.format = ArchiveFormat::zip;
    summary.java = java;
    summary.isSigned = isSignedJavaArchive(summary.entries);
    return summary;
}

} // namespace vexa::ziprewrite
