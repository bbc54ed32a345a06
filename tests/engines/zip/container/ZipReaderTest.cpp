// The reader against archives made by other programs (Info-ZIP zip, bsdtar, Python's zipfile).
#include "ContainerTestSupport.h"
#include "engines/zip/container/ZipFileReader.h"
#include "engines/zip/container/ZipHandle.h"
#include "engines/zip/container/ZipStatus.h"
#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sys/stat.h>

namespace vexa {
namespace {

using namespace ziptest;

std::map<std::string, ziptest::ReadEntry> byName(const ziptest::ReadResult& result) {
    std::map<std::string, ziptest::ReadEntry> entries;
    for (const auto& entry : result.entries)
        entries[entry.name] = entry;
    return entries;
}

class ForeignArchiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in/docs/empty");
        writeFile(dir / "in/docs/text.txt", sampleBytes(200000, 1, true));
        writeFile(dir / "in/noise.bin", sampleBytes(70000, 2, false));
        writeFile(dir / "in/zero.txt", "");
    }
    std::string text() const { return sampleBytes(200000, 1, true); }
    std::string noise() const { return sampleBytes(70000, 2, false); }

    TemporaryDirectory dir;
};

TEST_F(ForeignArchiveTest, ReadsInfoZipArchiveWithFoldersAndTimes) {
    const int64_t stamp = 1600000000;
    struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "in/noise.bin").c_str(), times, 0), 0);
    runChecked("echo 'a trailing comment' | zip -q -r -z ../x.zip docs noise.bin zero.txt",
               dir / "in");
    auto result = readArchive(dir / "x.zip");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    EXPECT_EQ(result.listStatus, zipstatus::endOfList);
    EXPECT_EQ(result.count, result.entries.size());
    EXPECT_EQ(result.diskWithCd, 0u);
    auto entries = byName(result);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_TRUE(entries["docs/"].isDir);
    EXPECT_TRUE(entries["docs/empty/"].isDir);
    EXPECT_FALSE(entries["docs/text.txt"].isDir);
    EXPECT_EQ(entries["docs/text.txt"].data, text());
    EXPECT_EQ(entries["docs/text.txt"].info.compression_method, 8);
    EXPECT_EQ(entries["noise.bin"].data, noise());
    EXPECT_EQ(entries["noise.bin"].info.modified_date, stamp);
    EXPECT_EQ(entries["noise.bin"].info.version_madeby >> 8, 3);
    EXPECT_EQ((entries["noise.bin"].info.external_fa >> 16) & 0170000, 0100000u);
    EXPECT_EQ(entries["zero.txt"].data, "");
    for (const auto& [name, entry] : entries) {
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << name;
        EXPECT_EQ(ziptest::crcOf(entry.data), entry.info.crc) << name;
        EXPECT_EQ(static_cast<int64_t>(entry.data.size()), entry.info.uncompressed_size);
    }
}

TEST_F(ForeignArchiveTest, ReadsInfoZipTraditionalEncryption) {
    // zip -P marks its entries with a data descriptor, so the check byte is the time's; a piped
    // entry adds one whose sizes come after the data.
    runChecked("zip -q -P 'pässword' ../x.zip docs/text.txt noise.bin", dir / "in");
    runChecked("zip -q -P 'pässword' ../x.zip - < zero.txt", dir / "in");
    auto result = readArchive(dir / "x.zip", "pässword");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    auto entries = byName(result);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries["docs/text.txt"].data, text());
    EXPECT_EQ(entries["noise.bin"].data, noise());
    for (const auto& [name, entry] : entries) {
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << name;
        EXPECT_EQ(entry.info.flag & 1, 1) << name;
        EXPECT_EQ(entry.info.aes_version, 0) << name;
    }
}

TEST_F(ForeignArchiveTest, WrongPasswordsAreRefused) {
    runChecked("zip -q -P right ../pk.zip docs/text.txt", dir / "in");
    runChecked("bsdtar --format zip --options zip:encryption=aes256 --passphrase right -cf "
               "../aes.zip docs/text.txt",
               dir / "in");
    for (const char* archive : {"pk.zip", "aes.zip"}) {
        // The one-byte check of traditional encryption lets 1 password in 256 through; such a
        // password must still not yield the data.
        for (const char* password : {"wrong", "Right", "", "right "}) {
            auto result = readArchive(dir / archive, password);
            ASSERT_EQ(result.entries.size(), 1u);
            const auto& entry = result.entries[0];
            EXPECT_TRUE(entry.readStatus < 0 || entry.data != text()) << archive << password;
            if (entry.readStatus == zipstatus::ok) {
                EXPECT_NE(ziptest::crcOf(entry.data), entry.info.crc) << archive << password;
            }
        }
        auto noPassword = readArchive(dir / archive, nullptr);
        EXPECT_EQ(noPassword.entries[0].readStatus, zipstatus::param) << archive;
    }
    // zip -P draws the header at random, so one given wrong password may pass the check byte;
    // of ten, all but about one in 256 are refused by it.
    int refused = 0;
    for (int i = 0; i < 10; ++i) {
        const std::string password = "wrong" + std::to_string(i);
        refused += readArchive(dir / "pk.zip", password.c_str()).entries[0].readStatus ==
                   zipstatus::password;
    }
    EXPECT_GE(refused, 8);
    EXPECT_EQ(readArchive(dir / "aes.zip", "wrong").entries[0].readStatus, zipstatus::password);
}

TEST_F(ForeignArchiveTest, ReadsWinZipAesFromBsdtar) {
    struct Case {
        const char* option;
        uint8_t strength;
    };
    for (Case c : {Case{"aes256", 3}, Case{"aes128", 1}}) {
        std::string name = std::string(c.option) + ".zip";
        runChecked(std::string("bsdtar --format zip --options zip:encryption=") + c.option +
                       " --passphrase 'clé' -cf ../" + name + " docs noise.bin zero.txt",
                   dir / "in");
        auto result = readArchive(dir / name, "clé");
        ASSERT_EQ(result.openStatus, zipstatus::ok);
        auto entries = byName(result);
        EXPECT_EQ(entries["docs/text.txt"].data, text()) << name;
        EXPECT_EQ(entries["noise.bin"].data, noise()) << name;
        EXPECT_EQ(entries["zero.txt"].data, "") << name;
        // bsdtar leaves empty files unencrypted.
        for (const char* file : {"docs/text.txt", "noise.bin"}) {
            const auto& entry = entries[file];
            EXPECT_EQ(entry.readStatus, zipstatus::ok) << name << file;
            EXPECT_NE(entry.info.aes_version, 0) << name << file;
            EXPECT_EQ(entry.info.aes_strength, c.strength) << name << file;
            EXPECT_TRUE(entry.info.compression_method == 0 || entry.info.compression_method == 8);
        }
    }
}

TEST_F(ForeignArchiveTest, FlippedByteInAesDataIsCaught) {
    runChecked("bsdtar --format zip --options zip:encryption=aes256 --passphrase pw -cf ../a.zip "
               "noise.bin",
               dir / "in");
    runChecked("bsdtar --format zip --options zip:compression=store --options "
               "zip:encryption=aes256 --passphrase pw -cf ../b.zip noise.bin",
               dir / "in");
    for (const char* name : {"a.zip", "b.zip"}) {
        std::string bytes = testing::readFile(dir / name);
        // Well inside the data: past the local header, salt and verifier.
        bytes[2000] = static_cast<char>(bytes[2000] ^ 0x01);
        writeFile(dir / "damaged.zip", bytes);
        auto result = readArchive(dir / "damaged.zip", "pw");
        ASSERT_EQ(result.entries.size(), 1u);
        EXPECT_LT(result.entries[0].readStatus, 0) << name;
        if (std::string(name) == "b.zip") {
            EXPECT_EQ(result.entries[0].closeStatus, zipstatus::hash);
        }
    }
}

TEST_F(ForeignArchiveTest, ReadsPythonZip64AndCodePageNames) {
    ziptest::runPython(R"(import zipfile
# Lowered limits make Python write the ZIP64 fields and end records for small data.
zipfile.ZIP64_LIMIT = 1000
zipfile.ZIP_FILECOUNT_LIMIT = 1
zipfile.ZipInfo._encodeFilenameFlags = lambda self: (self.filename.encode('cp437'), self.flag_bits)
data = open('noise.bin', 'rb').read()
with zipfile.ZipFile('../py.zip', 'w') as z:
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        info = zipfile.ZipInfo('m%d.bin' % method, (2020, 5, 6, 7, 8, 10))
        info.compress_type = method
        with z.open(info, 'w', force_zip64=True) as f:
            f.write(data)
    # Name bytes 0x81 'x': a u with diaeresis in code page 437, no UTF-8 flag.
    info = zipfile.ZipInfo('\u00fcx.txt')
    z.writestr(info, b'cp437')
    assert info.flag_bits & 0x800 == 0
zipfile.ZIP64_LIMIT = (1 << 31) - 1
import io
class NoSeek(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)
with open('../stream.zip', 'wb') as raw:
    with zipfile.ZipFile(NoSeek(raw), 'w', zipfile.ZIP_DEFLATED) as z:
        with z.open('streamed.bin', 'w') as f:
            f.write(data)

)",
                       dir / "in");
    auto result = readArchive(dir / "py.zip");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    ASSERT_EQ(result.entries.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(result.entries[i].data, noise());
        EXPECT_EQ(result.entries[i].info.zip64, 1);
        EXPECT_EQ(result.entries[i].readStatus, zipstatus::ok);
    }
    EXPECT_EQ(result.entries[0].info.compression_method, 0);
    EXPECT_EQ(result.entries[1].info.compression_method, 8);
    EXPECT_EQ(result.entries[2].name, "\x81x.txt");
    EXPECT_EQ(result.entries[2].info.flag & 0x0800, 0);
    EXPECT_EQ(result.entries[2].data, "cp437");

    auto streamed = readArchive(dir / "stream.zip");
    ASSERT_EQ(streamed.entries.size(), 1u);
    EXPECT_EQ(streamed.entries[0].info.flag & 0x0008, 0x0008);
    EXPECT_EQ(streamed.entries[0].data, noise());
}

TEST_F(ForeignArchiveTest, ReadsLinksAndTimesFromExtraFields) {
    // Info-ZIP stores a link's target as its data; PKWARE's Unix field (0x000d) names it in the
    // header; NTFS times win over the DOS time.
    runChecked("ln -s docs/text.txt link && zip -q -y ../links.zip link", dir / "in");
    ziptest::runPython(R"(import struct, zipfile
with zipfile.ZipFile('../extra.zip', 'w') as z:
    info = zipfile.ZipInfo('l', (2001, 1, 1, 0, 0, 0))
    info.create_system = 3
    info.external_attr = 0o120777 << 16
    target = b'target/file'
    info.extra = struct.pack('<HHIIHH', 0x000d, 12 + len(target), 0, 0, 0, 0) + target
    z.writestr(info, b'')
    info = zipfile.ZipInfo('n', (2001, 1, 1, 0, 0, 0))
    filetime = (1234567890 + 11644473600) * 10000000
    info.extra = struct.pack('<HHIHHQQQ', 0x000a, 32, 0, 1, 24, filetime, filetime, filetime)
    z.writestr(info, b'n')

)",
                       dir / "in");
    auto links = readArchive(dir / "links.zip");
    ASSERT_EQ(links.entries.size(), 1u);
    const auto& link = links.entries[0];
    EXPECT_EQ(zipAttribIsSymlink(link.info.external_fa, link.info.version_madeby), zipstatus::ok);
    EXPECT_EQ(link.data, "docs/text.txt");

    // Without a time field the DOS time counts, read as local time (here three hours east).
    const char* zone = std::getenv("TZ");
    const std::optional<std::string> savedZone =
        zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
    ::setenv("TZ", "<+03>-3", 1);
    ::tzset();
    auto extra = readArchive(dir / "extra.zip");
    if (savedZone)
        ::setenv("TZ", savedZone->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    ASSERT_EQ(extra.entries.size(), 2u);
    EXPECT_EQ(extra.entries[0].info.modified_date, 978307200 - 3 * 3600);
    ASSERT_TRUE(extra.entries[0].linkname.has_value());
    EXPECT_EQ(*extra.entries[0].linkname, "target/file");
    EXPECT_EQ(
        zipAttribIsSymlink(extra.entries[0].info.external_fa, extra.entries[0].info.version_madeby),
        zipstatus::ok);
    EXPECT_EQ(extra.entries[1].info.modified_date, 1234567890);
    EXPECT_FALSE(extra.entries[1].linkname.has_value());
    EXPECT_EQ(
        zipAttribIsSymlink(extra.entries[1].info.external_fa, extra.entries[1].info.version_madeby),
        zipstatus::exist);
}

TEST_F(ForeignArchiveTest, ReadsArchiveBehindAStub) {
    runChecked("zip -q ../x.zip noise.bin && (head -c 4321 /dev/zero; cat ../x.zip) > ../sfx.zip",
               dir / "in");
    auto result = readArchive(dir / "sfx.zip");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].data, noise());
}

TEST_F(ForeignArchiveTest, OtherMethodsAreUnsupportedButCopyRaw) {
    runChecked("python3 -c \"import zipfile; zipfile.ZipFile('../bz.zip', 'w', "
               "zipfile.ZIP_BZIP2).write('noise.bin')\"",
               dir / "in");
    auto decoded = readArchive(dir / "bz.zip");
    ASSERT_EQ(decoded.entries.size(), 1u);
    EXPECT_EQ(decoded.entries[0].info.compression_method, 12);
    EXPECT_EQ(decoded.entries[0].readStatus, zipstatus::support);
    auto raw = readArchive(dir / "bz.zip", nullptr, true);
    EXPECT_EQ(raw.entries[0].readStatus, zipstatus::ok);
    EXPECT_EQ(static_cast<int64_t>(raw.entries[0].data.size()),
              raw.entries[0].info.compressed_size);
}

TEST_F(ForeignArchiveTest, AnyReadSizeYieldsTheSameData) {
    // Reads that end mid-block, exactly at the end, or byte by byte must not lose or invent data
    // in any stage (inflate, counter-mode keystream, PKWARE keys).
    runChecked("zip -q ../plain.zip docs/text.txt && zip -q -P pw ../pk.zip docs/text.txt",
               dir / "in");
    runChecked("bsdtar --format zip --options zip:encryption=aes256 --passphrase pw -cf "
               "../aes.zip docs/text.txt",
               dir / "in");
    runChecked("bsdtar --format zip --options zip:encryption=aes128 --options "
               "zip:compression=store --passphrase pw -cf ../aes-store.zip docs/text.txt",
               dir / "in");
    const std::string expected = text();
    for (const char* archive : {"plain.zip", "pk.zip", "aes.zip", "aes-store.zip"}) {
        for (size_t size : {size_t{1}, size_t{13}, size_t{4096}, expected.size() - 1,
                            expected.size(), expected.size() + 1}) {
            auto reader = ZipFileReader::create();
            ASSERT_EQ(reader->openFile((dir / archive).c_str()), zipstatus::ok);
            ZipHandle* zip = nullptr;
            ASSERT_EQ(reader->getZipHandle(&zip), zipstatus::ok);
            ASSERT_EQ(reader->gotoFirstEntry(), zipstatus::ok);
            ASSERT_EQ(zip->entryReadOpen(0, "pw"), zipstatus::ok);
            std::string data;
            std::vector<char> buffer(size);
            int32_t n;
            while ((n = zip->entryRead(buffer.data(), static_cast<int32_t>(size))) > 0)
                data.append(buffer.data(), static_cast<size_t>(n));
            EXPECT_EQ(n, 0) << archive << " " << size;
            EXPECT_EQ(zip->entryReadClose(nullptr, nullptr, nullptr), zipstatus::ok)
                << archive << " " << size;
            EXPECT_TRUE(data == expected) << archive << " " << size;
        }
    }
}

TEST_F(ForeignArchiveTest, ReadsLargeDirectoriesAndLongLocalHeaders) {
    // The directory is read in blocks and each local header with the start of its data in one
    // read: records must survive block ends, a record larger than a block, and local extra
    // fields the central records do not have (a little longer, or longer than a whole read).
    ziptest::runPython(R"(import struct, zipfile
with zipfile.ZipFile('../big.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    for i in range(3000):
        info = zipfile.ZipInfo('folder-%04d/%s.txt' % (i, 'n' * 40))
        info.comment = b'c' * (i % 50)
        z.writestr(info, ('entry %d ' % i) * (i % 7))
    info = zipfile.ZipInfo('huge-record')
    info.extra = struct.pack('<HH', 0xcafe, 60000) + b'x' * 60000
    info.comment = b'k' * 30000
    z.writestr(info, b'huge')
    for size in (200, 65000):
        info = zipfile.ZipInfo('local-%d-%s' % (size, 'z' * (size // 30)))
        info.compress_type = zipfile.ZIP_STORED
        info.extra = struct.pack('<HH', 0xcafe, size) + b'y' * size
        z.writestr(info, b'%d' % size * 30000)
        info.extra = b''  # the central record is written without it at close
)",
                       dir / "in");
    auto result = readArchive(dir / "big.zip");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    EXPECT_EQ(result.listStatus, zipstatus::endOfList);
    ASSERT_EQ(result.entries.size(), 3003u);
    for (int i = 0; i < 3000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "folder-%04d/", i);
        std::string data;
        for (int k = 0; k < i % 7; ++k)
            data += "entry " + std::to_string(i) + " ";
        const auto& entry = result.entries[static_cast<size_t>(i)];
        ASSERT_EQ(entry.name, name + std::string(40, 'n') + ".txt");
        ASSERT_EQ(entry.readStatus, zipstatus::ok) << entry.name;
        ASSERT_EQ(entry.data, data) << entry.name;
    }
    EXPECT_EQ(result.entries[3000].info.extrafield_size, 60004);
    EXPECT_EQ(result.entries[3000].data, "huge");
    for (int i : {1, 2}) {
        const auto& entry = result.entries[3000 + static_cast<size_t>(i)];
        std::string data;
        for (int k = 0; k < 30000; ++k)
            data += i == 1 ? "200" : "65000";
        EXPECT_EQ(entry.readStatus, zipstatus::ok) << entry.name;
        EXPECT_TRUE(entry.data == data) << entry.name;
    }
}

TEST(ZipReaderLifecycle, CallsOutOfOrderAnswerStatuses) {
    TemporaryDirectory dir;
    auto reader = ZipFileReader::create();
    ZipHandle* zip = nullptr;
    EXPECT_EQ(reader->getZipHandle(&zip), zipstatus::exist);
    EXPECT_EQ(reader->setRecover(true), zipstatus::support);
    EXPECT_EQ(reader->openFile((dir / "missing.zip").c_str()), zipstatus::open);
    EXPECT_EQ(reader->gotoFirstEntry(), zipstatus::param);
    writeFile(dir / "empty.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    ASSERT_EQ(reader->openFile((dir / "empty.zip").c_str()), zipstatus::ok);
    EXPECT_EQ(reader->openFile((dir / "empty.zip").c_str()), zipstatus::param);
    ASSERT_EQ(reader->getZipHandle(&zip), zipstatus::ok);
    uint64_t count = 7;
    EXPECT_EQ(zip->getNumberEntry(&count), zipstatus::ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(reader->gotoFirstEntry(), zipstatus::endOfList);
    const ZipFileInfo* info = nullptr;
    EXPECT_EQ(reader->entryGetInfo(&info), zipstatus::exist);
    EXPECT_EQ(zip->entryReadOpen(0, nullptr), zipstatus::param);
    EXPECT_EQ(zip->entryWriteOpen(info, 6, 0, nullptr), zipstatus::param);
}

} // namespace
} // namespace vexa
