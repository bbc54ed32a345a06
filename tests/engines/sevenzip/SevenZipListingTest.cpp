#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

namespace vexa {
namespace {

using namespace testing::sevenzip;

std::map<std::string, ArchiveItem> byPath(const ArchiveSummary& summary) {
    std::map<std::string, ArchiveItem> items;
    for (const auto& item : summary.entries)
        items[item.path] = item;
    return items;
}

class SevenZipCompressionTest : public ::testing::TestWithParam<std::string> {};

// Every method bsdtar writes is listed and extracted byte for byte, names outside ASCII
// included (the test runs in the C locale).
TEST_P(SevenZipCompressionTest, ListsAndExtractsWhatBsdtarWrote) {
    TemporaryDirectory temporary;
    const auto source = temporary / "src";
    std::filesystem::create_directories(source / "docs" / "vacía");
    const std::string text = sampleBytes(200000, 7, true);
    const std::string noise = sampleBytes(70000, 8, false);
    writeFile(source / "docs" / "informe.txt", text);
    writeFile(source / "ñandú 日本.bin", noise);
    writeFile(source / "vacío.txt", "");
    const auto archive =
        makeSevenZip(temporary / "fotos.7z", source, "docs 'ñandú 日本.bin' vacío.txt", GetParam());

    Progress progress;
    SevenZipArchiveEngine engine;
    const ArchiveSummary summary = engine.list(archive, progress);
    EXPECT_EQ(summary.format, ArchiveFormat::sevenZip);
    EXPECT_EQ(summary.url, archive);
    EXPECT_EQ(summary.volumes, std::vector<std::filesystem::path>{archive});
    EXPECT_FALSE(summary.singleFile);
    EXPECT_FALSE(summary.compression.has_value());
    const auto items = byPath(summary);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items.at("docs/informe.txt").size, 200000);
    EXPECT_EQ(items.at("ñandú 日本.bin").size, 70000);
    EXPECT_EQ(items.at("vacío.txt").size, 0);
    EXPECT_TRUE(items.at("docs/").isDirectory);
    EXPECT_TRUE(items.at("docs/vacía/").isDirectory);
    for (const auto& [path, item] : items)
        EXPECT_FALSE(item.isEncrypted) << path;

    const auto output = temporary / "out";
    std::filesystem::create_directory(output);
    const auto result = engine.extract(archive, {}, output, progress);
    EXPECT_EQ(result, output / "fotos");
    EXPECT_EQ(readFile(result / "docs" / "informe.txt"), text);
    EXPECT_EQ(readFile(result / "ñandú 日本.bin"), noise);
    EXPECT_EQ(readFile(result / "vacío.txt"), "");
    EXPECT_TRUE(std::filesystem::is_directory(result / "docs" / "vacía"));
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    EXPECT_EQ(progress.totalUnitCount(), 200000 + 70000 + 1 + 2);
}

INSTANTIATE_TEST_SUITE_P(Methods, SevenZipCompressionTest,
                         ::testing::Values("store", "deflate", "bzip2", "lzma1", "lzma2", "ppmd"));

class SevenZipRefusalTest : public ::testing::Test {
  protected:
    void expectListFailure(const std::filesystem::path& archive, const ArchiveFailure& expected) {
        Progress progress;
        expectFailure([&] { SevenZipArchiveEngine().list(archive, progress); }, expected);
    }
    TemporaryDirectory temporary;
};

TEST_F(SevenZipRefusalTest, SymbolicLinkEntryIsRefusedWithItsPath) {
    const auto source = temporary / "src";
    std::filesystem::create_directories(source / "docs");
    writeFile(source / "docs" / "a.txt", "a");
    std::filesystem::create_symlink("/etc/passwd", source / "docs" / "enlace");
    expectListFailure(makeSevenZip(temporary / "x.7z", source, "docs"),
                      ArchiveFailure::symbolicLink("docs/enlace"));
}

TEST_F(SevenZipRefusalTest, FifoEntryIsUnsupported) {
    const auto source = temporary / "src";
    std::filesystem::create_directories(source);
    runChecked("mkfifo tubo", source);
    expectListFailure(makeSevenZip(temporary / "x.7z", source, "tubo"),
                      ArchiveFailure::unsupported7z());
}

TEST_F(SevenZipRefusalTest, HostileNamesAreUnsafe) {
    const auto source = temporary / "src";
    std::filesystem::create_directories(source);
    writeFile(source / "x", "x");
    // -P keeps what the substitution makes of the name.
    expectListFailure(makeSevenZip(temporary / "up.7z", source, "x", "lzma2", "-P -s ',^,../,'"),
                      ArchiveFailure::unsafePath("../x"));
    expectListFailure(makeSevenZip(temporary / "abs.7z", source, "x", "lzma2", "-P -s ',^,/etc/,'"),
                      ArchiveFailure::unsafePath("/etc/x"));
}

// `bsdtar -cf x.7z .` names everything "./..." and adds "." itself: the prefix goes, the root
// entry with it, and what remains is validated as any name.
TEST_F(SevenZipRefusalTest, CurrentFolderPrefixIsDroppedAndTheRestValidated) {
    const auto source = temporary / "src";
    std::filesystem::create_directories(source / "d");
    writeFile(source / "a", "uno");
    writeFile(source / "d" / "b", "dos");
    const auto archive = makeSevenZip(temporary / "punto.7z", source, ".");
    Progress progress;
    SevenZipArchiveEngine engine;
    std::set<std::string> paths;
    for (const auto& item : engine.list(archive, progress).entries)
        paths.insert(item.path);
    EXPECT_EQ(paths, (std::set<std::string>{"a", "d/", "d/b"}));
    std::filesystem::create_directory(temporary / "out");
    EXPECT_EQ(readFile(engine.extract(archive, {}, temporary / "out", progress) / "d" / "b"),
              "dos");

    expectListFailure(makeSevenZip(temporary / "sube.7z", source, "a", "lzma2", "-s ',^,./../,'"),
                      ArchiveFailure::unsafePath("../a"));
}

TEST_F(SevenZipRefusalTest, DamagedFilesAreSevenZipFailures) {
    const auto damaged =
        ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
    writeFile(temporary / "texto.7z", "esto no es un 7z");
    expectListFailure(temporary / "texto.7z", damaged);

    const auto source = temporary / "src";
    std::filesystem::create_directories(source);
    writeFile(source / "a.bin", sampleBytes(100000, 3, false));
    const std::string whole = readFile(makeSevenZip(temporary / "entero.7z", source, "a.bin"));
    // Cut inside the start header and inside the header at the end.
    for (std::size_t length : {std::size_t{20}, whole.size() - 10}) {
        writeFile(temporary / "cortado.7z", whole.substr(0, length));
        SCOPED_TRACE(length);
        expectListFailure(temporary / "cortado.7z", damaged);
    }
}

// Every single damaged byte of a small archive ends in a result or an ArchiveFailure, never in
// another error, a crash or a leftover staging folder.
TEST_F(SevenZipRefusalTest, DamageSweepFailsCleanly) {
    const auto source = temporary / "src";
    std::filesystem::create_directories(source / "d");
    writeFile(source / "d" / "a.txt", sampleBytes(300, 1, true));
    writeFile(source / "b.txt", sampleBytes(200, 2, true));
    const std::string whole = readFile(makeSevenZip(temporary / "x.7z", source, "d b.txt"));
    const auto output = temporary / "out";
    std::filesystem::create_directory(output);
    for (std::size_t offset = 0; offset < whole.size(); ++offset) {
        std::string bytes = whole;
        bytes[offset] = static_cast<char>(bytes[offset] ^ 0xA5);
        writeFile(temporary / "y.7z", bytes);
        Progress progress;
        try {
            std::filesystem::remove_all(
                SevenZipArchiveEngine().extract(temporary / "y.7z", {}, output, progress));
        } catch (const ArchiveFailure&) {
        }
        ASSERT_TRUE(std::filesystem::is_empty(output)) << offset;
    }
}

TEST_F(SevenZipRefusalTest, EncryptionAsksForThePasswordOnlyWhereItIsNeeded) {
    writeFile(temporary / "cabecera.7z", craftPackedHeaderArchive(aesCoderId));
    expectListFailure(temporary / "cabecera.7z", ArchiveFailure::passwordRequired());
    // Encrypted data under a plain header lists without a password; its data needs one.
    writeFile(temporary / "datos.7z", craftOneFileArchive(aesCoderId));
    Progress progress;
    SevenZipArchiveEngine engine;
    const auto entries = engine.list(temporary / "datos.7z", progress).entries;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].isEncrypted);
    std::filesystem::create_directory(temporary / "out");
    expectFailure([&] { engine.extract(temporary / "datos.7z", {}, temporary / "out", progress); },
                  ArchiveFailure::passwordRequired());
    EXPECT_TRUE(std::filesystem::is_empty(temporary / "out"));
}

// Headers that lie: each ends in its failure at once, without a hang or a huge allocation.
TEST_F(SevenZipRefusalTest, HostileHeadersFailCleanly) {
    using std::string;
    const string oneFile("\x05\x01\x11\x06\x00"
                         "a\0\0\0\x00",
                         11);                         // files info: "a"
    const string pack("\x06\x00\x01\x09\x10\x00", 6); // one packed stream of 16 bytes
    const string copyFolder("\x07\x0B\x01\x00\x01\x01\x00\x0C\x10\x00", 10);
    const auto damaged =
        ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
    struct Row {
        const char* name;
        string header;
        ArchiveFailure expected;
    };
    const Row rows[] = {
        // Two copy coders, the first bound to its own output: a loop that never reaches data.
        {"bind pair loop",
         "\x01\x04" + pack +
             string("\x07\x0B\x01\x00\x02\x01\x00\x01\x00\x00\x00\x0C\x10\x10\x00\x00", 16) +
             string("\x00", 1) + oneFile + string("\x00", 1),
         damaged},
        {"2^56 folders",
         "\x01\x04" + pack + string("\x07\x0B\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 11), damaged},
        {"2^32 files", "\x01\x05\xF0\xFF\xFF\xFF\xFF\x00", damaged},
        {"packed stream beyond the file",
         "\x01\x04" + string("\x06\x00\x01\x09\xF0\xFF\xFF\xFF\x7F\x00", 10) + copyFolder +
             string("\x00", 1) + oneFile + string("\x00", 1),
         damaged},
        {"files larger than their folder",
         "\x01\x04" + pack + copyFolder + string("\x08\x0D\x02\x09\x20\x00\x00", 7) + oneFile +
             string("\x00", 1),
         damaged},
        // An encrypted header asking for 2^30 rounds of key derivation.
        {"2^30 key rounds",
         "\x17" + pack +
             string("\x07\x0B\x01\x00\x01\x24\x06\xF1\x07\x01\x01\x1E\x0C\x10\x00\x00", 16),
         ArchiveFailure::unsupported7z()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(temporary / "hostil.7z", craftSevenZip(row.header, string(16, '\x5A')));
        Progress progress;
        expectFailure([&] { SevenZipArchiveEngine("x").list(temporary / "hostil.7z", progress); },
                      row.expected);
    }
}

TEST_F(SevenZipRefusalTest, UnknownMethodIsUnsupported) {
    writeFile(temporary / "cabecera.7z", craftPackedHeaderArchive(unknownCoderId));
    expectListFailure(temporary / "cabecera.7z", ArchiveFailure::unsupported7z());

    // Listed fine; only reading the data meets the method.
    writeFile(temporary / "datos.7z", craftOneFileArchive(unknownCoderId));
    Progress progress;
    SevenZipArchiveEngine engine;
    ASSERT_EQ(engine.list(temporary / "datos.7z", progress).entries.size(), 1u);
    std::filesystem::create_directory(temporary / "out");
    expectFailure([&] { engine.extract(temporary / "datos.7z", {}, temporary / "out", progress); },
                  ArchiveFailure::unsupported7z());
    EXPECT_TRUE(std::filesystem::is_empty(temporary / "out"));
}

} // namespace
} // namespace vexa
