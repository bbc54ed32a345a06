// Listing through ZIPArchiveEngine::list against archives made by Info-ZIP zip and Python's
// zipfile, and the order in which it refuses odd or hostile ones.
#include "ZIPTestSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <map>

namespace vexa {
namespace {

using Case = ArchiveFailure::Case;
using namespace ziptest;

std::vector<std::string> pathsOf(const ArchiveSummary& summary) {
    std::vector<std::string> paths;
    for (const auto& entry : summary.entries)
        paths.push_back(entry.path);
    return paths;
}

ArchiveSummary listed(const std::filesystem::path& archive) {
    Progress progress;
    return ZIPArchiveEngine().list(archive, progress);
}

TEST(ZIPStatusTest, MapsContainerStatusesToFailures) {
    EXPECT_FALSE(failureOf([] { ZIPArchiveEngine::check(0); }));
    EXPECT_FALSE(failureOf([] { ZIPArchiveEngine::check(7); }));
    const std::vector<std::pair<int, ArchiveFailure>> rows = {
        {-109, ArchiveFailure::unsupported()},
        {-108, ArchiveFailure::wrongPassword()},
        {-104, ArchiveFailure::corrupt("ZIP (código -104)")},
        {-100, ArchiveFailure::corrupt("ZIP (código -100)")},
        {-110, ArchiveFailure::corrupt("ZIP (código -110)")},
    };
    for (const auto& [status, expected] : rows)
        EXPECT_EQ(failureOf([status = status] { ZIPArchiveEngine::check(status); }), expected)
            << status;
}

TEST(ZIPPathRuleTest, RefusesUnsafePathsAndKeepsFolders) {
    for (const std::string path : {"docs/", "a/b/c.txt", "a..b", ".hidden", "x/.y/"})
        EXPECT_FALSE(failureOf([&] { ZIPArchiveEngine::validatePath(path); })) << path;
    for (const std::string& path :
         std::vector<std::string>{"", "/a", "a\\b", std::string("a\0b", 3), "..", "a/../b", "./a",
                                  "a/.", "a//b", "docs//", "C:x", "a/b:c"})
        EXPECT_EQ(failureOf([&] { ZIPArchiveEngine::validatePath(path); }),
                  ArchiveFailure::unsafePath(path))
            << path;
}

TEST(ZIPPathRuleTest, ListCheckFindsRepeatsAndFileParents) {
    const auto file = [](std::string path) { return ArchiveItem{std::move(path), 1, 1, false}; };
    const auto folder = [](std::string path) { return ArchiveItem{std::move(path), 0, 0, true}; };
    const std::string nfc = "\xC3\x81.txt", nfd = "A\xCC\x81.txt";
    struct Row {
        std::vector<ArchiveItem> items;
        bool caseSensitive;
        std::optional<ArchiveFailure> expected;
    };
    const std::vector<Row> rows = {
        {{file("A.txt"), file("a.txt")}, false, ArchiveFailure::duplicate("a.txt")},
        {{file("A.txt"), file("a.txt")}, true, std::nullopt},
        {{file(nfc), file(nfd)}, true, ArchiveFailure::duplicate(nfd)},
        {{folder("a/"), file("a")}, false, ArchiveFailure::duplicate("a")},
        {{file("a"), file("a/b.txt")}, false, ArchiveFailure::duplicate("a/b.txt")},
        {{file("a/b.txt"), file("A")}, false, ArchiveFailure::duplicate("a/b.txt")},
        {{folder("a/"), file("a/b.txt")}, false, std::nullopt},
        {{file("x/y/z.txt")}, false, std::nullopt},
        {{file("a/b/c.txt"), file("a/b/d.txt"), file("a/bc/e"), file("a/b")},
         false,
         ArchiveFailure::duplicate("a/b/c.txt")},
        {{folder("a/b/"), file("a/b/c.txt"), file("a/b/d.txt"), file("a/b/d.txt/e")},
         false,
         ArchiveFailure::duplicate("a/b/d.txt/e")},
        {{file("ok"), file("../bad")}, false, ArchiveFailure::unsafePath("../bad")},
    };
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(failureOf([&] {
                      ZIPArchiveEngine::checkListing(rows[i].items, rows[i].caseSensitive);
                  }),
                  rows[i].expected)
            << "row " << i;
}

TEST(ZIPListingTest, ListsInfoZipArchiveInDirectoryOrder) {
    TemporaryDirectory dir;
    std::filesystem::create_directories(dir / "in/docs/sub");
    writeFile(dir / "in/docs/a.txt", sampleBytes(5000, 1, true));
    writeFile(dir / "in/docs/sub/b.bin", sampleBytes(3000, 2, false));
    writeFile(dir / "in/empty.txt", "");
    runChecked("zip -q -r ../Fotos.zip docs empty.txt", dir / "in");

    Progress progress;
    const ArchiveSummary summary = ZIPArchiveEngine().list(dir / "Fotos.zip", progress);
    std::string expected;
    for (const auto& path : pathsOf(summary))
        expected += path + "\n";
    EXPECT_EQ(expected, runChecked("unzip -Z1 Fotos.zip", dir.path()));
    std::map<std::string, ArchiveItem> byPath;
    for (const auto& entry : summary.entries)
        byPath[entry.path] = entry;
    EXPECT_EQ(byPath["docs/"], (ArchiveItem{"docs/", 0, 0, true, false}));
    EXPECT_EQ(byPath["docs/a.txt"].size, 5000);
    EXPECT_LT(byPath["docs/a.txt"].compressedSize, 5000);
    EXPECT_EQ(byPath["docs/sub/b.bin"].size, 3000);
    EXPECT_FALSE(byPath["empty.txt"].isDirectory);
    EXPECT_EQ(summary.url, dir / "Fotos.zip");
    EXPECT_EQ(summary.format, ArchiveFormat::zip);
    EXPECT_EQ(summary.volumes, std::vector<std::filesystem::path>{dir / "Fotos.zip"});
    EXPECT_FALSE(summary.java);
    EXPECT_FALSE(summary.isSigned);
    EXPECT_FALSE(summary.hasRecoveryRecord || summary.singleFile || summary.compression);
    EXPECT_EQ(progress.totalUnitCount(), 5);
    EXPECT_EQ(progress.completedUnitCount(), 5);
}

TEST(ZIPListingTest, EmptyArchiveCountsOneUnit) {
    TemporaryDirectory dir;
    runPython("zipfile.ZipFile('x.zip', 'w').close()\n", dir.path());
    Progress progress;
    const ArchiveSummary summary = ZIPArchiveEngine().list(dir / "x.zip", progress);
    EXPECT_TRUE(summary.entries.empty());
    EXPECT_EQ(progress.totalUnitCount(), 1);
    EXPECT_EQ(summary.volumes, std::vector<std::filesystem::path>{dir / "x.zip"});
}

// Names in UTF-8 with or without the flag, or in code page 437; ordinary files from Unix and
// DOS hosts, none of which may be taken for a link.
TEST(ZIPListingTest, DecodesNamesAndAcceptsOrdinaryFiles) {
    TemporaryDirectory dir;
    runPython("with zipfile.ZipFile('x.zip', 'w') as zf:\n"
              "    add(zf, b'caf\\x81.txt')\n"
              "    add(zf, 'ni\\u00f1o.txt'.encode(), utf8=True)\n"
              "    add(zf, 'a\\u00f1o.sh'.encode(), mode=0o100755)\n"
              "    add(zf, b'DOS.TXT', b'x', system=0, mode=0)\n",
              dir.path());
    EXPECT_EQ(pathsOf(listed(dir / "x.zip")),
              (std::vector<std::string>{"caf\xC3\xBC.txt", "ni\xC3\xB1o.txt", "a\xC3\xB1o.sh",
                                        "DOS.TXT"}));
}

// Each archive is refused with the failure of the first check it meets.
TEST(ZIPListingTest, RefusesOddArchivesInCheckOrder) {
    struct Row {
        const char* name;
        std::string body; // lines inside "with zipfile.ZipFile(name, 'w') as zf:"
        ArchiveFailure expected;
    };
    const std::vector<Row> rows = {
        {"x.zip", "add(zf, b'caf\\x81.txt', utf8=True)", ArchiveFailure::corrupt("Nombre UTF-8")},
        {"x.zip", "add(zf, b'a\\x00b.txt')", ArchiveFailure::unsafePath("Nombre con byte nulo")},
        {"x.zip", "add(zf, b'a\\x00\\xff', utf8=True)",
         ArchiveFailure::unsafePath("Nombre con byte nulo")},
        {"x.zip", "add(zf, b'ok.txt')\n    add(zf, b'../evil.txt')",
         ArchiveFailure::unsafePath("../evil.txt")},
        {"x.zip", "add(zf, b'/etc/x')", ArchiveFailure::unsafePath("/etc/x")},
        {"x.zip", "add(zf, b'a\\\\b.txt')", ArchiveFailure::unsafePath("a\\b.txt")},
        {"x.zip", "add(zf, b'C:x')", ArchiveFailure::unsafePath("C:x")},
        {"x.zip", "add(zf, b'./a')", ArchiveFailure::unsafePath("./a")},
        {"x.zip", "add(zf, b'docs//')", ArchiveFailure::unsafePath("docs//")},
        {"x.zip", "add(zf, b'../link', mode=0o120777, method=zipfile.ZIP_BZIP2)",
         ArchiveFailure::unsafePath("../link")},
        {"x.zip", "add(zf, b'link', b'/etc/passwd', mode=0o120777, method=zipfile.ZIP_BZIP2)",
         ArchiveFailure::symbolicLink("link")},
        // A link target in the Unix extra field marks a link whatever the attributes say.
        {"x.zip",
         "zi = zipfile.ZipInfo('lnk')\n"
         "    zi.extra = struct.pack('<HHIIHH', 0x000d, 18, 0, 0, 0, 0) + b'target'\n"
         "    zf.writestr(zi, b'')",
         ArchiveFailure::symbolicLink("lnk")},
        {"x.zip", "add(zf, b'a.txt')\n    add(zf, b'b.bz', b'data', method=zipfile.ZIP_BZIP2)",
         ArchiveFailure::unsupported()},
        {"x.zip", "add(zf, b'b.xz', b'data', method=zipfile.ZIP_LZMA)",
         ArchiveFailure::unsupported()},
        {"x.zip",
         "add(zf, 'Fotos/\\u00c1.txt'.encode(), utf8=True)\n"
         "    add(zf, 'Fotos/A\\u0301.txt'.encode(), utf8=True)",
         ArchiveFailure::duplicate("Fotos/A\xCC\x81.txt")},
        {"x.zip", "add(zf, b'Read.me')\n    add(zf, b'read.me')",
         ArchiveFailure::duplicate("read.me")},
        {"x.zip", "add(zf, b'a', b'file')\n    add(zf, b'a/b.txt')",
         ArchiveFailure::duplicate("a/b.txt")},
        {"x.jar", "add(zf, b'A.class')\n    add(zf, b'A.class')",
         ArchiveFailure::duplicate("A.class")},
    };
    TemporaryDirectory dir;
    std::string script = "import warnings\nwarnings.simplefilter('ignore')\n";
    for (std::size_t i = 0; i < rows.size(); ++i)
        script += "os.mkdir('" + std::to_string(i) + "')\nwith zipfile.ZipFile('" +
                  std::to_string(i) + "/" + rows[i].name + "', 'w') as zf:\n    " + rows[i].body +
                  "\n";
    runPython(script, dir.path());
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(failureOf([&] { listed(dir / std::to_string(i) / rows[i].name); }),
                  rows[i].expected)
            << rows[i].body;
}

// Sizes come from ZIP64 fields packed by hand: one that reads as negative is refused before the
// path rule looks at the name, and a listing whose sizes add up past the 64-bit range is refused
// at the entry that overflows.
TEST(ZIPListingTest, ImpossibleSizesAreCorrupt) {
    TemporaryDirectory dir;
    runPython("def raw_zip(path, entries):\n"
              "    out, central = bytearray(), bytearray()\n"
              "    for name, size in entries:\n"
              "        offset = len(out)\n"
              "        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 45, 0, 0, 0, 0, 0, 0, 0,\n"
              "                           len(name), 0) + name\n"
              "        extra = struct.pack('<HHQQ', 1, 16, size, 0)\n"
              "        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 45, 0, 0,\n"
              "                               0, 0, 0, 0xffffffff, 0xffffffff, len(name),\n"
              "                               len(extra), 0, 0, 0, 0o100644 << 16, offset)\n"
              "        central += name + extra\n"
              "    out += central + struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries),\n"
              "                                 len(entries), len(central), len(out), 0)\n"
              "    open(path, 'wb').write(out)\n"
              "raw_zip('negative.zip', [(b'ok', 1), (b'../x', 2**64 - 1)])\n"
              "raw_zip('overflow.zip', [(b'a', 2**63 - 1), (b'b', 0)])\n",
              dir.path());
    EXPECT_EQ(failureOf([&] { listed(dir / "negative.zip"); }), ArchiveFailure::corrupt("../x"));
    EXPECT_EQ(failureOf([&] { listed(dir / "overflow.zip"); }), ArchiveFailure::corrupt("b"));
}

TEST(ZIPListingTest, JavaArchivesCompareNamesWithCase) {
    TemporaryDirectory dir;
    runPython("for name in ('app.jar', 'app.zip'):\n"
              "    with zipfile.ZipFile(name, 'w') as zf:\n"
              "        add(zf, b'Read.me')\n"
              "        add(zf, b'read.me')\n",
              dir.path());
    const ArchiveSummary jar = listed(dir / "app.jar");
    EXPECT_EQ(jar.java, JavaArchive::jar);
    EXPECT_EQ(jar.entries.size(), 2u);
    EXPECT_EQ(failureOf([&] { listed(dir / "app.zip"); }), ArchiveFailure::duplicate("read.me"));
}

TEST(ZIPListingTest, TellsJavaKindAndSignature) {
    TemporaryDirectory dir;
    runPython("def make(name, *entries):\n"
              "    with zipfile.ZipFile(name, 'w') as zf:\n"
              "        for entry in entries: add(zf, entry, b'x')\n"
              "make('signed.jar', b'META-INF/MANIFEST.MF', b'META-INF/CERT.RSA', b'A.class')\n"
              "make('plain.jar', b'META-INF/MANIFEST.MF', b'META-INF/sub/CERT.RSA')\n"
              "make('signed.apk', b'META-INF/CERT.SF', b'classes.dex')\n"
              "make('plain.apk', b'classes.dex')\n"
              "make('lib.aar', b'classes.jar')\n"
              "make('signed.zip', b'META-INF/KEY.EC')\n",
              dir.path());
    writeFile(dir / "apple.aar", "AA01\x00\x00 not a zip at all");
    struct Row {
        const char* name;
        std::optional<JavaArchive> java;
        bool isSigned;
    };
    for (const Row& row : std::vector<Row>{{"signed.jar", JavaArchive::jar, true},
                                           {"plain.jar", JavaArchive::jar, false},
                                           {"signed.apk", JavaArchive::apk, true},
                                           {"plain.apk", JavaArchive::apk, false},
                                           {"lib.aar", JavaArchive::aar, false},
                                           {"signed.zip", std::nullopt, true}}) {
        const ArchiveSummary summary = listed(dir / row.name);
        EXPECT_EQ(summary.java, row.java) << row.name;
        EXPECT_EQ(summary.isSigned, row.isSigned) << row.name;
    }
    EXPECT_EQ(failureOf([&] { listed(dir / "apple.aar"); }), ArchiveFailure::appleArchive());
}

TEST(ZIPListingTest, ForcedZip64ListsItsSizes) {
    TemporaryDirectory dir;
    runPython("with zipfile.ZipFile('x.zip', 'w', zipfile.ZIP_DEFLATED) as zf:\n"
              "    with zf.open('big.txt', 'w', force_zip64=True) as f:\n"
              "        f.write(b'abc' * 10000)\n",
              dir.path());
    const ArchiveSummary summary = listed(dir / "x.zip");
    ASSERT_EQ(summary.entries.size(), 1u);
    EXPECT_EQ(summary.entries[0].size, 30000);
    EXPECT_GT(summary.entries[0].compressedSize, 0);
}

TEST(ZIPListingTest, DamagedDirectoryIsCorrupt) {
    TemporaryDirectory dir;
    runPython("with zipfile.ZipFile('x.zip', 'w') as zf:\n"
              "    add(zf, b'a.txt', b'aaaa')\n"
              "    add(zf, b'b.txt', b'bbbb')\n"
              "b = bytearray(open('x.zip', 'rb').read())\n"
              "i = b.rfind(b'PK\\x05\\x06')\n"
              "struct.pack_into('<HH', b, i + 8, 3, 3)\n"
              "open('more.zip', 'wb').write(b)\n",
              dir.path());
    const auto miscounted = failureOf([&] { listed(dir / "more.zip"); });
    ASSERT_TRUE(miscounted);
    EXPECT_EQ(miscounted->kind(), Case::corrupt);

    // Every cut of the file fails cleanly as a damaged archive, never with anything else.
    const std::string whole = testing::readFile(dir / "x.zip");
    for (std::size_t cut = 0; cut < whole.size(); cut += 5) {
        writeFile(dir / "cut.zip", whole.substr(0, cut));
        const auto failure = failureOf([&] { listed(dir / "cut.zip"); });
        ASSERT_TRUE(failure) << cut;
        EXPECT_EQ(failure->kind(), Case::corrupt) << cut;
    }
    EXPECT_THROW(listed(dir / "absent.zip"), ArchiveFailure);
}

TEST(ZIPListingTest, CancelledListingStopsAtTheNextEntry) {
    TemporaryDirectory dir;
    runPython("with zipfile.ZipFile('x.zip', 'w') as zf:\n    add(zf, b'a.txt')\n", dir.path());
    Progress progress;
    progress.cancel();
    EXPECT_THROW(ZIPArchiveEngine().list(dir / "x.zip", progress), CancellationError);
}

class ZIPSplitSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in");
        std::filesystem::create_directories(dir / "set");
        writeFile(dir / "in/noise.bin", sampleBytes(230000, 7, false));
        runChecked("zip -q -s 64k ../set/x.zip noise.bin", dir / "in");
    }
    TemporaryDirectory dir;
};

TEST_F(ZIPSplitSetTest, ListsThePartsBeforeTheArchive) {
    const ArchiveSummary summary = listed(dir / "set/x.zip");
    EXPECT_EQ(summary.volumes,
              (std::vector<std::filesystem::path>{dir / "set/x.z01", dir / "set/x.z02",
                                                  dir / "set/x.z03", dir / "set/x.zip"}));
    ASSERT_EQ(summary.entries.size(), 1u);
    EXPECT_EQ(summary.entries[0].size, 230000);
}

TEST_F(ZIPSplitSetTest, MissingOrLinkedPartIsNamed) {
    std::filesystem::rename(dir / "set/x.z02", dir / "x.z02");
    EXPECT_EQ(failureOf([&] { listed(dir / "set/x.zip"); }),
              ArchiveFailure::missingVolume("x.z02"));
    std::filesystem::create_symlink(dir / "x.z02", dir / "set/x.z02");
    EXPECT_EQ(failureOf([&] { listed(dir / "set/x.zip"); }),
              ArchiveFailure::missingVolume("x.z02"));
    std::filesystem::remove(dir / "set/x.z02");
    std::filesystem::create_directory(dir / "set/x.z02");
    EXPECT_EQ(failureOf([&] { listed(dir / "set/x.zip"); }),
              ArchiveFailure::missingVolume("x.z02"));
}

// Writers without ZIP64 store the count modulo 65,536; a reader that stopped at that count would
// hide the rest, and an edit would then drop them. Any other mismatch is refused.
TEST(ZIPListingTest, DirectoryIsWalkedToItsLastRecord) {
    TemporaryDirectory dir;
    ziptest::runPython(R"(
def patched(source, name, count, drop_zip64):
    data = bytearray(open(source, 'rb').read())
    end = data.rfind(b'PK\x05\x06')
    if data[end - 20:end - 16] == b'PK\x06\x07':
        record = struct.unpack_from('<Q', data, end - 12)[0]
        if drop_zip64:
            data = data[:record] + data[end:]
            end = record
        else:
            struct.pack_into('<QQ', data, record + 24, count, count)
    struct.pack_into('<HH', data, end + 8, count % 65536, count % 65536)
    open(name, 'wb').write(data)
with zipfile.ZipFile('many.zip', 'w') as zf:
    for i in range(65546):
        zf.writestr(zipfile.ZipInfo('f%05d' % i), b'')
patched('many.zip', 'modulo.zip', 65546, True)
patched('many.zip', 'zip64_short.zip', 10, False)
with zipfile.ZipFile('three.zip', 'w') as zf:
    for name in ('a', 'b', 'c'):
        add(zf, name.encode(), name.encode())
patched('three.zip', 'one_of_three.zip', 1, True)
patched('three.zip', 'two_of_three.zip', 2, True)
)",
                       dir.path());
    const std::vector<std::pair<std::string, std::size_t>> accepted = {{"modulo.zip", 65546},
                                                                       {"three.zip", 3}};
    for (const auto& [name, count] : accepted)
        EXPECT_EQ(listed(dir / name).entries.size(), count) << name;
    for (const std::string name : {"zip64_short.zip", "one_of_three.zip", "two_of_three.zip"})
        EXPECT_EQ(failureOf([&] { listed(dir / name); }), ArchiveFailure::corrupt(name)) << name;

    Progress progress;
    ZIPArchiveEngine().deleteEntries({"f00003"}, dir / "modulo.zip", progress);
    const ArchiveSummary kept = listed(dir / "modulo.zip");
    ASSERT_EQ(kept.entries.size(), 65545u);
    EXPECT_EQ(kept.entries.back().path, "f65545");
    EXPECT_EQ(runCommand("unzip -tqq modulo.zip", dir.path()).exitStatus, 0);
}

// Entries that share stored bytes, or whose bytes run into the central directory or past the
// file, would let a small archive extract to any size.
TEST(ZIPListingTest, EntriesMustNotOverlapOrLeaveTheArchive) {
    TemporaryDirectory dir;
    ziptest::runPython(R"(
with zipfile.ZipFile('two.zip', 'w') as zf:
    add(zf, b'a', b'x' * 1000)
    add(zf, b'b', b'y' * 10)
base = open('two.zip', 'rb').read()
end = base.rfind(b'PK\x05\x06')
first = struct.unpack_from('<I', base, end + 16)[0]
second = base.find(b'PK\x01\x02', first + 4)
def put(name, at, fmt, *values):
    data = bytearray(base)
    struct.pack_into(fmt, data, at, *values)
    open(name, 'wb').write(data)
put('shared_body.zip', second + 42, '<I', 0)
put('first_runs_into_second.zip', first + 20, '<II', 1040, 1040)
put('second_runs_into_directory.zip', second + 20, '<II', 40, 40)
put('second_past_the_file.zip', second + 42, '<I', 0x7FFFFFF0)
open('stub.zip', 'wb').write(b'#!/bin/sh\n' * 50 + base)
)",
                       dir.path());
    for (const std::string name : {"shared_body.zip", "first_runs_into_second.zip",
                                   "second_runs_into_directory.zip", "second_past_the_file.zip"})
        EXPECT_EQ(failureOf([&] { listed(dir / name); }), ArchiveFailure::corrupt("b")) << name;
    EXPECT_EQ(listed(dir / "two.zip").entries.size(), 2u);
    EXPECT_EQ(listed(dir / "stub.zip").entries.size(), 2u);
}

} // namespace
} // namespace vexa
