// Fuzz entry for the ZIP container reader: any bytes as an archive, every entry read raw and
// decoded (with a fixed password), output per input capped so that bombs stay cheap.
#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipHandle.h"
#include "engines/zip/container/ZipStatus.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr int64_t outputCap = 8 << 20;

void walk(const std::string& path, bool raw, int64_t& budget) {
    auto reader = vexa::ZipFileReader::create();
    if (!reader || reader->setRecover(false) != 0 || reader->openFile(path.c_str()) != 0)
        return;
    vexa::ZipHandle* zip = nullptr;
    if (reader->getZipHandle(&zip) != 0)
        return;
    uint64_t count = 0;
    uint32_t disk = 0;
    zip->getNumberEntry(&count);
    zip->getDiskNumberWithCd(&disk);
    static char buffer[4096];
    for (int status = reader->gotoFirstEntry(); status == 0; status = reader->gotoNextEntry()) {
        const vexa::ZipFileInfo* info = nullptr;
        if (reader->entryGetInfo(&info) != 0 || info == nullptr)
            break;
        reader->entryIsDir();
        vexa::zipAttribIsSymlink(info->external_fa, info->version_madeby);
        if (zip->entryReadOpen(raw ? 1 : 0, "pw") != 0)
            continue;
        int32_t n;
        while (budget > 0 && (n = zip->entryRead(buffer, sizeof buffer)) > 0)
            budget -= n;
        uint32_t crc = 0;
        int64_t compressed = 0, uncompressed = 0;
        zip->entryReadClose(&crc, &compressed, &uncompressed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("zip-fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(fd, data + written, size - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    int64_t budget = outputCap;
    walk(path, false, budget);
    walk(path, true, budget);
    close(fd);
    return 0;
}
