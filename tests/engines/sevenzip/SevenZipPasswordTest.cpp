#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <map>

// Archives written by py7zr, an implementation of 7z that shares nothing with ours: every coder
// it offers, encrypted data and encrypted headers, passwords in both Unicode normal forms.
namespace vexa {
namespace {

using namespace testing::sevenzip;

const std::string nfc = "contrase\xC3\xB1"
                        "a"; // ñ precomposed
const std::string nfd = "contrasen\xCC\x83"
                        "a"; // n + combining tilde

struct Py7zrCase {
    std::string name;
    std::string filters;
    std::string password; // written with
    bool encryptHeader;
    std::string typed; // given to the engine
};

class SevenZipPy7zrTest : public ::testing::TestWithParam<Py7zrCase> {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(source / "docs" / "vacía");
        writeFile(source / "docs" / "informe.txt", sampleBytes(150000, 3, true));
        writeFile(source / "docs" / "notas.md", sampleBytes(900, 4, true));
        writeFile(source / "ñandú.bin", sampleBytes(70000, 5, false));
        writeFile(source / "cero.txt", "");
        std::filesystem::create_directory(output);
    }

    // What the listing must hold: the source tree, its files marked encrypted (py7zr gives
    // empty files a stream of 0 bytes in the encrypted folder).
    std::map<std::string, ArchiveItem> expected(bool encrypted) const {
        std::map<std::string, ArchiveItem> items;
        for (const auto& item : std::filesystem::recursive_directory_iterator(source)) {
            const std::string path = std::filesystem::relative(item.path(), source).string();
            if (item.is_directory())
                items[path + "/"] = ArchiveItem{path + "/", 0, 0, true, false};
            else
                items[path] = ArchiveItem{path, static_cast<std::int64_t>(item.file_size()), 0,
                                          false, encrypted};
        }
        return items;
    }

    TemporaryDirectory temporary;
    const std::filesystem::path source = temporary / "src";
    const std::filesystem::path output = temporary / "out";
    Progress progress;
};

TEST_P(SevenZipPy7zrTest, ListsAndExtractsByteForByte) {
    const auto& c = GetParam();
    const auto archive =
        makePy7zr(temporary / "py.7z", source, c.filters, c.password, c.encryptHeader);
    SevenZipArchiveEngine engine(c.typed.empty() ? std::nullopt
                                                 : std::optional<std::string>(c.typed));
    std::map<std::string, ArchiveItem> listed;
    for (const auto& item : engine.list(archive, progress).entries)
        listed[item.path] = item;
    EXPECT_EQ(listed, expected(!c.password.empty()));

    const auto result = engine.extract(archive, {}, output, progress);
    EXPECT_EQ(
        runCommand("diff -r " + shellQuote(source.string()) + " " + shellQuote(result.string()))
            .output,
        "");

    const auto single = temporary / "informe.txt";
    engine.extractPayload(listed.at("docs/informe.txt"), archive, single, progress, std::nullopt,
                          engine.password, false);
    EXPECT_EQ(readFile(single), readFile(source / "docs" / "informe.txt"));
}

class SevenZipPy7zrPasswordTest : public SevenZipPy7zrTest {};

TEST_P(SevenZipPy7zrPasswordTest, AWrongOrMissingPasswordWritesNothing) {
    const auto& c = GetParam();
    const auto archive =
        makePy7zr(temporary / "py.7z", source, c.filters, c.password, c.encryptHeader);
    for (const std::optional<std::string>& password :
         {std::optional<std::string>(), std::optional<std::string>("otra")}) {
        SevenZipArchiveEngine engine(password);
        const auto failure =
            password ? ArchiveFailure::wrongPassword() : ArchiveFailure::passwordRequired();
        if (c.encryptHeader)
            expectFailure([&] { engine.list(archive, progress); }, failure);
        else
            EXPECT_EQ(engine.list(archive, progress).entries.size(), expected(true).size());
        expectFailure([&] { engine.extract(archive, {}, output, progress); }, failure);
        EXPECT_TRUE(std::filesystem::is_empty(output));
    }
    // `exact` keeps the typed form: only the form the archive was written with opens it.
    if (c.typed != c.password) {
        SevenZipArchiveEngine exactEngine(c.typed, true);
        expectFailure([&] { exactEngine.extract(archive, {}, output, progress); },
                      ArchiveFailure::wrongPassword());
        EXPECT_TRUE(std::filesystem::is_empty(output));
    }
}

// Many solid blocks, decoded at once on several threads: every file lands whole, a selection
// decodes only its blocks, and damage in one block fails the whole extraction cleanly.
TEST(SevenZipFolders, SeveralFoldersExtractByteForByte) {
    TemporaryDirectory temporary;
    const auto source = temporary / "src";
    for (int i = 0; i < 40; ++i) {
        const auto folder = source / ("grupo-" + std::to_string(i % 4));
        std::filesystem::create_directories(folder);
        writeFile(folder / ("f" + std::to_string(i) + ".txt"),
                  sampleBytes(20000 + 1000 * static_cast<std::size_t>(i),
                              static_cast<std::uint32_t>(i), i % 3 != 0));
    }
    std::filesystem::create_directories(source / "vacía");
    writeFile(source / "cero.txt", "");
    const auto archive = temporary / "bloques.7z";
    runChecked("/usr/bin/python3 " VEXA_SOURCE_DIR
               "/tests/engines/sevenzip/tools/make_folders.py " +
               shellQuote(archive.string()) + " " + shellQuote(source.string()) + " 100000");

    Progress progress;
    SevenZipArchiveEngine engine;
    EXPECT_EQ(engine.list(archive, progress).entries.size(), 46u);
    const auto output = temporary / "out";
    std::filesystem::create_directory(output);
    const auto whole = engine.extract(archive, {}, output, progress);
    EXPECT_EQ(
        runCommand("diff -r " + shellQuote(source.string()) + " " + shellQuote(whole.string()))
            .output,
        "");
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    const auto part = engine.extract(archive, {"grupo-2/"}, output, progress);
    EXPECT_EQ(runCommand("diff -r " + shellQuote((source / "grupo-2").string()) + " " +
                         shellQuote((part / "grupo-2").string()))
                  .output,
              "");

    // Cancelled while several threads write: every thread stops and nothing stays.
    std::filesystem::remove_all(output);
    std::filesystem::create_directory(output);
    Progress cancelling;
    cancelling.setCompletionObserver([&](std::int64_t done) {
        if (done > 300000)
            cancelling.cancel();
    });
    EXPECT_THROW(engine.extract(archive, {}, output, cancelling), CancellationError);
    EXPECT_TRUE(std::filesystem::is_empty(output));

    std::string bytes = readFile(archive);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
    writeFile(archive, bytes);
    std::filesystem::remove_all(output);
    std::filesystem::create_directory(output);
    try {
        engine.extract(archive, {}, output, progress);
        ADD_FAILURE() << "damage not seen";
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure.kind(), ArchiveFailure::Case::corrupt) << failure.message();
    }
    EXPECT_TRUE(std::filesystem::is_empty(output));
}

// A set of parts (name.7z.001, ...) with an encrypted header reads as the whole archive does.
TEST(SevenZipEncryptedParts, ListAndExtractAcrossParts) {
    TemporaryDirectory temporary;
    const auto source = temporary / "src";
    std::filesystem::create_directories(source / "d");
    writeFile(source / "d" / "a.bin", sampleBytes(30000, 9, false));
    writeFile(source / "b.txt", sampleBytes(20000, 10, true));
    const auto whole = makePy7zr(temporary / "entero.7z", source, "None", "clave", true);
    runChecked("split -b 8000 -d -a 3 --numeric-suffixes=1 " + shellQuote(whole.string()) +
                   " set.7z.",
               temporary.path());
    Progress progress;
    SevenZipArchiveEngine engine("clave");
    const auto summary = engine.list(temporary / "set.7z.001", progress);
    EXPECT_EQ(summary.entries.size(), 3u);
    EXPECT_GT(summary.volumes.size(), 3u);
    std::filesystem::create_directory(temporary / "out");
    const auto result = engine.extract(temporary / "set.7z.001", {}, temporary / "out", progress);
    EXPECT_EQ(
        runCommand("diff -r " + shellQuote(source.string()) + " " + shellQuote(result.string()))
            .output,
        "");
}

const Py7zrCase plainCases[] = {
    Py7zrCase{"Lzma2Bcj", "None", "", false, ""},
    Py7zrCase{"Lzma", "[{'id':p.FILTER_LZMA}]", "", false, ""},
    Py7zrCase{"Bzip2", "[{'id':p.FILTER_BZIP2}]", "", false, ""},
    Py7zrCase{"Deflate", "[{'id':p.FILTER_DEFLATE}]", "", false, ""},
    Py7zrCase{"Copy", "[{'id':p.FILTER_COPY}]", "", false, ""},
    Py7zrCase{"DeltaLzma2", "[{'id':p.FILTER_DELTA},{'id':p.FILTER_LZMA2}]", "", false, ""},
    Py7zrCase{"ArmLzma2", "[{'id':p.FILTER_ARM},{'id':p.FILTER_LZMA2}]", "", false, ""},
};

const Py7zrCase encryptedCases[] = {
    Py7zrCase{"EncryptedData", "None", "clave", false, "clave"},
    Py7zrCase{"EncryptedCopy", "[{'id':p.FILTER_COPY},{'id':p.FILTER_CRYPTO_AES256_SHA256}]",
              "clave", false, "clave"},
    Py7zrCase{"EncryptedHeader", "None", "clave", true, "clave"},
    // Typed in the other normal form: the engine's variants find the archive's.
    Py7zrCase{"NfcHeaderTypedNfd", "None", nfc, true, nfd},
    Py7zrCase{"NfdDataTypedNfc", "None", nfd, false, nfc},
    Py7zrCase{"NfdHeaderTypedNfc", "None", nfd, true, nfc},
};

const auto caseName = [](const auto& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Plain, SevenZipPy7zrTest, ::testing::ValuesIn(plainCases), caseName);
INSTANTIATE_TEST_SUITE_P(Encrypted, SevenZipPy7zrTest, ::testing::ValuesIn(encryptedCases),
                         caseName);
INSTANTIATE_TEST_SUITE_P(Encrypted, SevenZipPy7zrPasswordTest, ::testing::ValuesIn(encryptedCases),
                         caseName);

} // namespace
} // namespace vexa
