#include "engines/zip/ZIPEntryHeader.h"

#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/container/ZipStatus.h"

#include <algorithm>
#include <chrono>

namespace vexa {

namespace {

constexpr std::uint32_t folderAttributes = 0x41ED0010; // drwxr-xr-x, DOS folder bit

} // namespace

ZipFileInfo newEntryHeader(const files::FileAttributes& attributes, bool useCompression,
                           bool encrypted) {
    ZipFileInfo header;
    header.version_madeby = 0x033F;
    header.flag = 0x0800;
    header.compression_method = useCompression ? 8 : 0;
    header.modified_date = std::chrono::duration_cast<std::chrono::seconds>(
                               attributes.modificationDate.time_since_epoch())
                               .count();
    if (attributes.type == files::FileType::directory) {
        header.external_fa = folderAttributes;
        return header;
    }
    header.external_fa =
        0x80000000u | ((static_cast<std::uint32_t>(attributes.permissions) << 16) & 0x01FF0000u);
    header.uncompressed_size = std::max<std::int64_t>(attributes.size, 0);
    if (encrypted) {
        header.aes_version = 2;
        header.aes_strength = newEntryAesStrength;
    }
    return header;
}

std::size_t startNewEntryAes(WinZipAes& aes, const std::string& password, std::uint8_t* start) {
    const std::size_t saltLength = WinZipAes::saltSize(newEntryAesStrength);
    if (!WinZipAes::randomSalt(start, saltLength) ||
        !aes.start(password.c_str(), newEntryAesStrength, start, start + saltLength))
        ZIPArchiveEngine::check(zipstatus::crypt);
    return saltLength + WinZipAes::verifierSize;
}

} // namespace vexa
