// Archives written by the layer, read back by other programs and by the layer itself.
#include "ContainerTestSupport.h"
#include "engines/zip/container/ZipFileWriter.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vexa {
namespace {

using namespace ziptest;

std::vector<NewEntry> sampleEntries(bool aes) {
    std::vector<NewEntry> entries;
    NewEntry folder;
    folder.name = "carpeta/";
    folder.externalAttributes = 0x41ED0010;
    entries.push_back(folder);
    NewEntry text;
    text.name = "carpeta/texto ñ.txt";
    text.data = sampleBytes(300000, 3, true);
    text.modified = 1650000001; // odd: DOS time cannot hold it, the timestamp field must
    text.aes = aes;
    entries.push_back(text);
    NewEntry stored;
    stored.name = "ruido.bin";
    stored.data = sampleBytes(100000, 4, false);
    stored.method = 0;
    stored.level = 0;
    stored.externalAttributes = 0x81ED0000;
    stored.aes = aes;
    entries.push_back(stored);
    NewEntry empty;
    empty.name = "vacío";
    empty.aes = aes;
    entries.push_back(empty);
    return entries;
}

TEST(ZipWriter, InfoZipAndPythonReadPlainArchives) {
    TemporaryDirectory dir;
    auto entries = sampleEntries(false);
    writeArchive(dir / "x.zip", entries);
    runChecked("unzip -tq x.zip", dir.path());
    runChecked("mkdir out && cd out && unzip -q ../x.zip", dir.path());
    EXPECT_EQ(readFile(dir / "out/carpeta/texto ñ.txt"), entries[1].data);
    EXPECT_EQ(readFile(dir / "out/ruido.bin"), entries[2].data);
    struct stat info {};
    ASSERT_EQ(stat((dir / "out/carpeta/texto ñ.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1650000001);
    ASSERT_EQ(stat((dir / "out/ruido.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    ziptest::runPython(R"(import zipfile
z = zipfile.ZipFile('x.zip')
assert z.testzip() is None
names = [i.filename for i in z.infolist()]
assert names == ['carpeta/', 'carpeta/texto ñ.txt', 'ruido.bin', 'vacío'], names
infos = z.infolist()
assert all(i.flag_bits & 0x800 for i in infos)
assert [i.compress_type for i in infos] == [0, 8, 0, 8]
assert infos[0].external_attr == 0x41ED0010
assert infos[0].create_system == 3
)",
                       dir.path());
}

TEST(ZipWriter, BsdtarDecryptsAesEntries) {
    TemporaryDirectory dir;
    auto entries = sampleEntries(true);
    writeArchive(dir / "x.zip", entries, "contraseña");
    runChecked("mkdir out && cd out && bsdtar -xf ../x.zip --passphrase 'contraseña'", dir.path());
    EXPECT_EQ(readFile(dir / "out/carpeta/texto ñ.txt"), entries[1].data);
    EXPECT_EQ(readFile(dir / "out/ruido.bin"), entries[2].data);
    EXPECT_EQ(readFile(dir / "out/vacío"), "");
    EXPECT_NE(testing::runCommand("mkdir bad && cd bad && bsdtar -xf ../x.zip --passphrase no",
                                  dir.path())
                  .exitStatus,
              0);

    auto result = readArchive(dir / "x.zip", "contraseña");
    ASSERT_EQ(result.entries.size(), 4u);
    EXPECT_EQ(result.entries[0].info.aes_version, 0); // folders are never encrypted
    EXPECT_EQ(result.entries[0].info.flag & 1, 0);
    for (size_t i = 1; i < 4; ++i) {
        const auto& entry = result.entries[i];
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << entry.name;
        EXPECT_EQ(entry.data, entries[i].data) << entry.name;
        EXPECT_EQ(entry.info.aes_version, 2);
        EXPECT_EQ(entry.info.aes_strength, 3);
        EXPECT_EQ(entry.info.crc, 0u); // AE-2 leaves the CRC out
        EXPECT_EQ(entry.info.compression_method, entries[i].method);
    }
    EXPECT_EQ(readArchive(dir / "x.zip", "otra").entries[1].readStatus, zipstatus::password);
}

TEST(ZipWriter, FreshSaltPerEntry) {
    TemporaryDirectory dir;
    NewEntry entry;
    entry.name = "a";
    entry.data = "same bytes";
    entry.aes = true;
    writeArchive(dir / "1.zip", {entry}, "pw");
    writeArchive(dir / "2.zip", {entry}, "pw");
    auto one = readArchive(dir / "1.zip", nullptr, true);
    auto two = readArchive(dir / "2.zip", nullptr, true);
    ASSERT_EQ(one.entries.size(), 1u);
    ASSERT_EQ(two.entries.size(), 1u);
    EXPECT_NE(one.entries[0].data.substr(0, 16), two.entries[0].data.substr(0, 16));
}

TEST(ZipWriter, Zip64FieldsAndEndRecordsAreReadByPython) {
    TemporaryDirectory dir;
    std::vector<NewEntry> entries;
    NewEntry forced;
    forced.name = "forced.bin";
    forced.data = sampleBytes(5000, 5, false);
    forced.zip64 = 1;
    entries.push_back(forced);
    // More entries than the classic end record can count.
    for (int i = 0; i < 66000; ++i) {
        NewEntry small;
        small.name = "f" + std::to_string(i);
        small.method = 0;
        small.level = 0;
        entries.push_back(small);
    }
    writeArchive(dir / "x.zip", entries);
    auto listing = readArchive(dir / "x.zip", nullptr, false, false);
    EXPECT_EQ(listing.count, 66001u);
    EXPECT_EQ(listing.entries.size(), 66001u);
    EXPECT_EQ(listing.listStatus, zipstatus::endOfList);
    ziptest::runPython(R"(import zipfile, struct
z = zipfile.ZipFile('x.zip')
infos = z.infolist()
assert len(infos) == 66001, len(infos)
assert len(z.read('forced.bin')) == 5000
data = open('x.zip', 'rb').read()
assert data.rfind(b'PK\x06\x06') > 0 and data.rfind(b'PK\x06\x07') > 0
)",
                       dir.path());
}

TEST(ZipWriter, RefusesWhatItCannotWrite) {
    TemporaryDirectory dir;
    auto writer = ZipFileWriter::create();
    EXPECT_EQ(writer->openFile((dir / "s.zip").c_str(), 65535), zipstatus::param);
    const std::string missing = (dir / "no/such/folder/x.zip").string();
    try {
        writer->openFile(missing.c_str(), 0);
        ADD_FAILURE() << "an archive in a missing folder was opened";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.code(), PlatformError::Code::fileNoSuchFile);
        EXPECT_EQ(error.path(), missing);
    }
    ASSERT_EQ(writer->openFile((dir / "x.zip").c_str(), 0), zipstatus::ok);
    ZipHandle* zip = nullptr;
    ASSERT_EQ(writer->getZipHandle(&zip), zipstatus::ok);
    ZipFileInfo info;
    info.filename = "a";
    info.compression_method = 8;
    EXPECT_EQ(zip->entryWriteOpen(&info, 6, 0, "pw"), zipstatus::support); // ZipCrypto
    info.compression_method = 14;
    EXPECT_EQ(zip->entryWriteOpen(&info, 6, 0, nullptr), zipstatus::support);
    info.filename = "";
    info.compression_method = 8;
    EXPECT_EQ(zip->entryWriteOpen(&info, 6, 0, nullptr), zipstatus::param);
    EXPECT_EQ(zip->entryRead(nullptr, 0), zipstatus::param);
    EXPECT_EQ(writer->close(), zipstatus::ok);
    EXPECT_EQ(writer->close(), zipstatus::exist);
    runChecked("unzip -tq x.zip || test $? -eq 1", dir.path()); // an empty archive is fine
}

TEST(ZipWriter, WriterDestroyedOpenStillLeavesAReadableArchive) {
    TemporaryDirectory dir;
    {
        auto writer = ZipFileWriter::create();
        ASSERT_EQ(writer->openFile((dir / "x.zip").c_str(), 0), zipstatus::ok);
        ZipHandle* zip = nullptr;
        ASSERT_EQ(writer->getZipHandle(&zip), zipstatus::ok);
        ZipFileInfo info;
        info.filename = "half";
        info.compression_method = 8;
        ASSERT_EQ(zip->entryWriteOpen(&info, 6, 0, nullptr), zipstatus::ok);
        ASSERT_EQ(zip->entryWrite("abc", 3), 3);
    }
    auto result = readArchive(dir / "x.zip");
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].data, "abc");
}

// A failed write, rename or close of the output is thrown where it happens, naming the file; a
// writer destroyed open on such a file drops the error instead.
TEST(ZipWriter, OutputFailuresAreThrownNamingTheFile) {
    TemporaryDirectory dir;
    const std::string archive = (dir / "x.zip").string();
    const std::string data = sampleBytes(200000, 7, false);
    const struct {
        const char* name;
        std::string path;
        int64_t diskSize;
        bool metAtClose; // the bytes wait in the buffer until the writer is closed
        PlatformError::Code code;
    } cases[] = {
        // The first part cannot take its ".z01" name: a folder holds it.
        {"parte", archive, 65536, false, PlatformError::Code::system},
        {"cierre", "/dev/full", 0, true, PlatformError::Code::fileWriteOutOfSpace},
    };
    ASSERT_TRUE(std::filesystem::create_directories(dir / "x.z01" / "ocupado"));
    const auto openWriter = [&](const std::string& path, int64_t diskSize, ZipHandle** zip) {
        auto writer = ZipFileWriter::create();
        EXPECT_EQ(writer->openFile(path.c_str(), diskSize), zipstatus::ok);
        EXPECT_EQ(writer->getZipHandle(zip), zipstatus::ok);
        ZipFileInfo info;
        info.filename = "a";
        info.compression_method = 0;
        EXPECT_EQ((*zip)->entryWriteOpen(&info, 0, 0, nullptr), zipstatus::ok);
        return writer;
    };
    for (const auto& test : cases) {
        ZipHandle* zip = nullptr;
        auto writer = openWriter(test.path, test.diskSize, &zip);
        try {
            const auto length = static_cast<int32_t>(data.size());
            EXPECT_EQ(zip->entryWrite(data.data(), length), length) << test.name;
            EXPECT_TRUE(test.metAtClose) << test.name;
            writer->close();
            ADD_FAILURE() << test.name << ": the failure went unreported";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.code(), test.code) << test.name;
            EXPECT_EQ(error.path(), test.path) << test.name;
        }
    }
    ZipHandle* zip = nullptr;
    auto writer = openWriter("/dev/full", 0, &zip);
    ASSERT_EQ(zip->entryWrite(data.data(), 100), 100);
    writer.reset(); // its close fails, and must neither throw nor end the program
}

} // namespace
} // namespace vexa
