// Entries copied raw from one archive to another keep their stored bytes, CRC-32, sizes and
// encryption, so other programs still open them with the same password.
#include "ContainerTestSupport.h"
#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipFileWriter.h"
#include "engines/zip/container/ZipStatus.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace ziptest;

// Copies every entry of `from` into `to`, renamed with a prefix, the way an edit rewrites an
// archive.
void copyRaw(const std::filesystem::path& from, const std::filesystem::path& to,
             int64_t diskSize = 0) {
    auto reader = ZipFileReader::create();
    ASSERT_EQ(reader->openFile(from.c_str()), zipstatus::ok);
    ZipHandle* in = nullptr;
    ASSERT_EQ(reader->getZipHandle(&in), zipstatus::ok);
    auto writer = ZipFileWriter::create();
    ASSERT_EQ(writer->openFile(to.c_str(), diskSize), zipstatus::ok);
    ZipHandle* out = nullptr;
    ASSERT_EQ(writer->getZipHandle(&out), zipstatus::ok);
    std::vector<char> buffer(10007);
    for (int status = reader->gotoFirstEntry(); status != zipstatus::endOfList;
         status = reader->gotoNextEntry()) {
        ASSERT_EQ(status, zipstatus::ok);
        const ZipFileInfo* found = nullptr;
        ASSERT_EQ(reader->entryGetInfo(&found), zipstatus::ok);
        ZipFileInfo info = *found;
        std::string name = "copia/" + std::string(found->filename, found->filename_size);
        info.filename = name.c_str();
        info.flag |= 0x0800;
        ASSERT_EQ(in->entryReadOpen(1, nullptr), zipstatus::ok);
        ASSERT_EQ(out->entryWriteOpen(&info, 6, 1, nullptr), zipstatus::ok);
        int32_t n;
        while ((n = in->entryRead(buffer.data(), static_cast<int32_t>(buffer.size()))) > 0)
            ASSERT_EQ(out->entryWrite(buffer.data(), n), n);
        ASSERT_EQ(n, 0);
        uint32_t crc = 0;
        int64_t compressed = 0, uncompressed = 0;
        ASSERT_EQ(in->entryReadClose(&crc, &compressed, &uncompressed), zipstatus::ok);
        ASSERT_EQ(out->entryWriteClose(crc, compressed, uncompressed), zipstatus::ok);
    }
    ASSERT_EQ(writer->close(), zipstatus::ok);
}

void expectSameStoredEntries(const std::filesystem::path& from, const std::filesystem::path& to) {
    auto original = readArchive(from, nullptr, true);
    auto copy = readArchive(to, nullptr, true);
    ASSERT_EQ(copy.entries.size(), original.entries.size());
    for (size_t i = 0; i < copy.entries.size(); ++i) {
        const auto& a = original.entries[i];
        const auto& b = copy.entries[i];
        EXPECT_EQ(b.name, "copia/" + a.name);
        EXPECT_EQ(b.data, a.data) << a.name;
        EXPECT_EQ(b.info.crc, a.info.crc) << a.name;
        EXPECT_EQ(b.info.compressed_size, a.info.compressed_size) << a.name;
        EXPECT_EQ(b.info.uncompressed_size, a.info.uncompressed_size) << a.name;
        EXPECT_EQ(b.info.compression_method, a.info.compression_method) << a.name;
        EXPECT_EQ(b.info.flag & 1, a.info.flag & 1) << a.name;
        EXPECT_EQ(b.info.aes_version, a.info.aes_version) << a.name;
        EXPECT_EQ(b.info.aes_strength, a.info.aes_strength) << a.name;
        EXPECT_EQ(b.info.external_fa, a.info.external_fa) << a.name;
    }
}

class RawCopyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in/d");
        writeFile(dir / "in/d/texto.txt", text);
        writeFile(dir / "in/ruido.bin", noise);
    }
    TemporaryDirectory dir;
    std::string text = sampleBytes(150000, 11, true);
    std::string noise = sampleBytes(80000, 12, false);
};

TEST_F(RawCopyTest, PlainEntriesStayIdentical) {
    runChecked("zip -q -r ../a.zip d ruido.bin", dir / "in");
    copyRaw(dir / "a.zip", dir / "b.zip");
    expectSameStoredEntries(dir / "a.zip", dir / "b.zip");
    runChecked("unzip -tq b.zip && mkdir out && cd out && unzip -q ../b.zip", dir.path());
    EXPECT_EQ(readFile(dir / "out/copia/d/texto.txt"), text);
    EXPECT_EQ(readFile(dir / "out/copia/ruido.bin"), noise);
}

TEST_F(RawCopyTest, TraditionalEncryptionKeepsItsCheckByte) {
    runChecked("zip -q -r -P secreto ../a.zip d ruido.bin", dir / "in");
    copyRaw(dir / "a.zip", dir / "b.zip");
    expectSameStoredEntries(dir / "a.zip", dir / "b.zip");
    runChecked("unzip -tq -P secreto b.zip", dir.path());
    auto decoded = readArchive(dir / "b.zip", "secreto");
    for (const auto& entry : decoded.entries)
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << entry.name;
}

TEST_F(RawCopyTest, AesEntriesStayAesAndOpenWithThePassword) {
    for (const char* strength : {"aes256", "aes128"}) {
        std::filesystem::remove(dir / "a.zip");
        std::filesystem::remove(dir / "b.zip");
        std::filesystem::remove_all(dir / "out");
        runChecked(std::string("bsdtar --format zip --options zip:encryption=") + strength +
                       " --passphrase clave -cf ../a.zip d ruido.bin",
                   dir / "in");
        copyRaw(dir / "a.zip", dir / "b.zip");
        expectSameStoredEntries(dir / "a.zip", dir / "b.zip");
        runChecked("mkdir out && cd out && bsdtar -xf ../b.zip --passphrase clave", dir.path());
        EXPECT_EQ(readFile(dir / "out/copia/d/texto.txt"), text) << strength;
        EXPECT_EQ(readFile(dir / "out/copia/ruido.bin"), noise) << strength;
    }
}

TEST_F(RawCopyTest, CopyIntoSplitSetAndBack) {
    runChecked("zip -q -r -P secreto ../a.zip d ruido.bin", dir / "in");
    copyRaw(dir / "a.zip", dir / "b.zip", 65536);
    ASSERT_TRUE(std::filesystem::exists(dir / "b.z01"));
    expectSameStoredEntries(dir / "a.zip", dir / "b.zip");
    auto decoded = readArchive(dir / "b.zip", "secreto");
    for (const auto& entry : decoded.entries)
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << entry.name;
}

TEST_F(RawCopyTest, WrongSizeAtCloseIsRefused) {
    runChecked("zip -q ../a.zip ruido.bin", dir / "in");
    auto writer = ZipFileWriter::create();
    ASSERT_EQ(writer->openFile((dir / "b.zip").c_str(), 0), zipstatus::ok);
    ZipHandle* out = nullptr;
    ASSERT_EQ(writer->getZipHandle(&out), zipstatus::ok);
    ZipFileInfo info;
    info.filename = "x";
    info.compression_method = 0;
    info.compressed_size = 3;
    info.uncompressed_size = 3;
    ASSERT_EQ(out->entryWriteOpen(&info, 0, 1, nullptr), zipstatus::ok);
    ASSERT_EQ(out->entryWrite("ab", 2), 2);
    EXPECT_EQ(out->entryWriteClose(0, 3, 3), zipstatus::param);
}

} // namespace
} // namespace vexa
