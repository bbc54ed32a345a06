#include "ContainerTestSupport.h"

#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipFileWriter.h"
#include "engines/zip/container/ZipStatus.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace vexa::ziptest {

uint32_t crcOf(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

void runPython(const std::string& script, const std::filesystem::path& directory) {
    static int counter = 0;
    auto file = directory / ("script" + std::to_string(++counter) + ".py");
    testing::writeFile(file, script);
    testing::runChecked("python3 " + testing::shellQuote(file.string()), directory);
    std::filesystem::remove(file);
}

ReadResult readArchive(const std::filesystem::path& archive, const char* password, bool raw,
                       bool readData) {
    ReadResult result;
    auto reader = ZipFileReader::create();
    EXPECT_EQ(reader->setRecover(false), zipstatus::ok);
    result.openStatus = reader->openFile(archive.c_str());
    if (result.openStatus != zipstatus::ok)
        return result;
    ZipHandle* zip = nullptr;
    EXPECT_EQ(reader->getZipHandle(&zip), zipstatus::ok);
    zip->getNumberEntry(&result.count);
    zip->getDiskNumberWithCd(&result.diskWithCd);
    int status = reader->gotoFirstEntry();
    std::vector<char> buffer(7919); // odd size, so reads end mid-block
    while (status == zipstatus::ok) {
        const ZipFileInfo* info = nullptr;
        EXPECT_EQ(reader->entryGetInfo(&info), zipstatus::ok);
        ReadEntry entry;
        entry.info = *info;
        entry.name.assign(info->filename, info->filename_size);
        if (info->linkname != nullptr)
            entry.linkname = info->linkname;
        entry.info.filename = nullptr;
        entry.info.extrafield = nullptr;
        entry.info.comment = nullptr;
        entry.info.linkname = nullptr;
        entry.isDir = reader->entryIsDir() == zipstatus::ok;
        if (readData) {
            entry.readStatus = zip->entryReadOpen(raw ? 1 : 0, password);
            if (entry.readStatus == zipstatus::ok) {
                int32_t n;
                while ((n = zip->entryRead(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0)
                    entry.data.append(buffer.data(), static_cast<size_t>(n));
                entry.closeStatus = zip->entryReadClose(nullptr, nullptr, nullptr);
                entry.readStatus = n < 0 ? n : entry.closeStatus;
            }
        }
        result.entries.push_back(std::move(entry));
        status = reader->gotoNextEntry();
    }
    result.listStatus = status;
    return result;
}

void writeArchive(const std::filesystem::path& archive, const std::vector<NewEntry>& entries,
                  const char* password, int64_t diskSize) {
    auto writer = ZipFileWriter::create();
    ASSERT_EQ(writer->openFile(archive.c_str(), diskSize), zipstatus::ok);
    ZipHandle* zip = nullptr;
    ASSERT_EQ(writer->getZipHandle(&zip), zipstatus::ok);
    for (const NewEntry& entry : entries) {
        ZipFileInfo info;
        info.version_madeby = 0x033F;
        info.flag = 0x0800;
        info.compression_method = entry.method;
        info.modified_date = entry.modified;
        info.filename = entry.name.c_str();
        info.uncompressed_size = static_cast<int64_t>(entry.data.size());
        info.external_fa = entry.externalAttributes;
        info.zip64 = entry.zip64;
        if (entry.aes) {
            info.aes_version = 2;
            info.aes_strength = 3;
        }
        ASSERT_EQ(zip->entryWriteOpen(&info, entry.level, 0, entry.aes ? password : nullptr),
                  zipstatus::ok)
            << entry.name;
        for (size_t at = 0; at < entry.data.size(); at += 65536) {
            auto piece = static_cast<int32_t>(std::min<size_t>(65536, entry.data.size() - at));
            ASSERT_EQ(zip->entryWrite(entry.data.data() + at, piece), piece);
        }
        ASSERT_EQ(zip->entryClose(), zipstatus::ok) << entry.name;
    }
    ASSERT_EQ(writer->close(), zipstatus::ok);
}

} // namespace vexa::ziptest
