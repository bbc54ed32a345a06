#include "engines/sevenzip/SevenZipExtraction.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace vexa {
namespace {

using namespace testing::sevenzip;

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t permissionsOf(const std::filesystem::path& location) {
    struct stat status {};
    EXPECT_EQ(::lstat(location.c_str(), &status), 0) << location;
    return status.st_mode & 07777;
}

// fotos.7z: docs/ (0750) with informe.txt (0640) and scripts/run.sh (0755), portada.bin, all
// dated 2001-02-03 04:05:06 UTC.
class SevenZipExtractionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto source = temporary / "src";
        std::filesystem::create_directories(source / "docs" / "scripts");
        writeFile(source / "docs" / "informe.txt", report);
        writeFile(source / "docs" / "scripts" / "run.sh", "#!/bin/sh\n");
        writeFile(source / "portada.bin", cover);
        runChecked("chmod 0640 docs/informe.txt && chmod 0755 docs/scripts/run.sh && "
                   "chmod 0750 docs && "
                   "find . -exec touch -h -d '2001-02-03 04:05:06 UTC' {} +",
                   source);
        archive = makeSevenZip(temporary / "fotos.7z", source, "docs portada.bin");
        std::filesystem::create_directory(output);
    }

    TemporaryDirectory temporary;
    const std::string report = sampleBytes(50000, 21, true);
    const std::string cover = sampleBytes(40000, 22, false);
    std::filesystem::path archive;
    const std::filesystem::path output = temporary / "out";
    SevenZipArchiveEngine engine;
    Progress progress;
};

TEST_F(SevenZipExtractionTest, RestoresPermissionsAndTimes) {
    const auto result = engine.extract(archive, {}, output, progress);
    EXPECT_EQ(permissionsOf(result / "docs" / "informe.txt"), 0640u);
    EXPECT_EQ(permissionsOf(result / "docs" / "scripts" / "run.sh"), 0755u);
    EXPECT_EQ(permissionsOf(result / "docs"), 0750u);
    const auto expected = std::chrono::system_clock::from_time_t(981173106);
    for (const char* path : {"docs/informe.txt", "docs", "docs/scripts", "portada.bin"}) {
        const auto written = std::filesystem::last_write_time(result / path);
        EXPECT_EQ(std::chrono::file_clock::to_sys(written), expected) << path;
    }
    EXPECT_EQ(namesIn(output), std::vector<std::string>{"fotos"});
}

// Without Unix bits the library offers 0666; the file must not become writable by everyone.
TEST_F(SevenZipExtractionTest, EntryWithoutUnixPermissionsIsNotWorldWritable) {
    writeFile(temporary / "windows.7z", craftOneFileArchive(std::string(1, '\0'))); // copy coder
    const auto result = engine.extract(temporary / "windows.7z", {}, output, progress);
    EXPECT_EQ(readFile(result / "secreto.txt"), std::string(16, '\x5A'));
    EXPECT_EQ(permissionsOf(result / "secreto.txt"), 0644u);
}

TEST_F(SevenZipExtractionTest, TakesTheFirstFreeName) {
    std::filesystem::create_directory(output / "fotos");
    writeFile(output / "fotos 2", "ocupado");
    EXPECT_EQ(engine.extract(archive, {}, output, progress), output / "fotos 3");
    EXPECT_EQ(readFile(output / "fotos 2"), "ocupado");
    EXPECT_TRUE(std::filesystem::is_empty(output / "fotos"));
}

TEST_F(SevenZipExtractionTest, ChosenFolderBringsOnlyWhatIsBelowIt) {
    const auto folderTime = std::chrono::system_clock::from_time_t(981173106);
    for (const std::string chosen : {"docs/scripts/", "docs/scripts"}) {
        SCOPED_TRACE(chosen);
        const auto result = engine.extract(archive, {chosen}, output, progress);
        EXPECT_EQ(namesIn(result), std::vector<std::string>{"docs"});
        EXPECT_EQ(namesIn(result / "docs"), std::vector<std::string>{"scripts"});
        EXPECT_EQ(readFile(result / "docs" / "scripts" / "run.sh"), "#!/bin/sh\n");
        // The folder entry itself is chosen too, so it gets its own time.
        EXPECT_EQ(std::chrono::file_clock::to_sys(
                      std::filesystem::last_write_time(result / "docs" / "scripts")),
                  folderTime);
        std::filesystem::remove_all(result);
    }
    expectFailure([&] { engine.extract(archive, {"nada"}, output, progress); },
                  ArchiveFailure::emptySelection());
    EXPECT_TRUE(std::filesystem::is_empty(output));
}

TEST_F(SevenZipExtractionTest, DamagedDataLeavesNothingBehind) {
    const auto source = temporary / "src2";
    std::filesystem::create_directories(source);
    writeFile(source / "datos.bin", sampleBytes(100000, 5, false));
    const auto stored = makeSevenZip(temporary / "roto.7z", source, "datos.bin", "store");
    std::string bytes = readFile(stored);
    bytes[40000] ^= 0x55; // inside the stored data: only its CRC-32 can tell
    writeFile(stored, bytes);
    expectFailure([&] { engine.extract(stored, {}, output, progress); },
                  ArchiveFailure::corrupt("datos.bin"));
    EXPECT_TRUE(std::filesystem::is_empty(output));
}

TEST_F(SevenZipExtractionTest, CancellationInsideALargeEntryLeavesNothingBehind) {
    const auto source = temporary / "src3";
    std::filesystem::create_directories(source);
    runChecked("truncate -s 64M ceros.bin", source);
    const auto large = makeSevenZip(temporary / "grande.7z", source, "ceros.bin", "deflate");
    std::exception_ptr outcome;
    std::thread worker([&] {
        try {
            engine.extract(large, {}, output, progress);
        } catch (...) {
            outcome = std::current_exception();
        }
    });
    // The first written block shows the entry is under way; 64 MiB leave time to cancel.
    while (progress.completedUnitCount() == 0 && !outcome)
        std::this_thread::yield();
    progress.cancel();
    worker.join();
    ASSERT_TRUE(outcome);
    EXPECT_THROW(std::rethrow_exception(outcome), CancellationError);
    EXPECT_TRUE(std::filesystem::is_empty(output));
}

TEST_F(SevenZipExtractionTest, PayloadOfAFileLandsAtTheExactLocation) {
    const ArchiveItem item{"docs/informe.txt", 50000, 0, false, false};
    engine.extractPayload(item, archive, output / "vista.txt", progress, 104857600, std::nullopt,
                          false);
    EXPECT_EQ(readFile(output / "vista.txt"), report);
    EXPECT_EQ(namesIn(output), std::vector<std::string>{"vista.txt"});
}

TEST_F(SevenZipExtractionTest, PayloadOfAFolderHoldsItsContents) {
    const ArchiveItem item{"docs/", 0, 0, true, false};
    engine.extractPayload(item, archive, output / "carpeta", progress, std::nullopt, "x", true);
    EXPECT_EQ(namesIn(output / "carpeta"), (std::vector<std::string>{"informe.txt", "scripts"}));
    EXPECT_EQ(readFile(output / "carpeta" / "scripts" / "run.sh"), "#!/bin/sh\n");
}

TEST_F(SevenZipExtractionTest, PayloadRefusals) {
    const ArchiveItem unknown{"no/existe.txt", 1, 0, false, false};
    expectFailure(
        [&] {
            engine.extractPayload(unknown, archive, output / "a", progress, 104857600, std::nullopt,
                                  false);
        },
        ArchiveFailure::corrupt("no/existe.txt"));

    // Each entry below the folder is held to the limit on its own; sizes are not added up.
    const ArchiveItem docs{"docs/", 0, 0, true, false};
    expectFailure(
        [&] {
            engine.extractPayload(docs, archive, output / "b", progress, 49999, std::nullopt,
                                  false);
        },
        ArchiveFailure::previewTooLarge());
    engine.extractPayload(docs, archive, output / "b", progress, 50000, std::nullopt, false);
    EXPECT_EQ(readFile(output / "b" / "informe.txt"), report);
    std::filesystem::remove_all(output / "b");

    writeFile(output / "ya.txt", "antes");
    const ArchiveItem cover{"portada.bin", 40000, 0, false, false};
    expectFailure(
        [&] {
            engine.extractPayload(cover, archive, output / "ya.txt", progress, std::nullopt,
                                  std::nullopt, false);
        },
        ArchiveFailure::conflict("ya.txt"));
    EXPECT_EQ(readFile(output / "ya.txt"), "antes");
    EXPECT_EQ(namesIn(output), std::vector<std::string>{"ya.txt"});
}

// The names a tool stored, as py7zr reads them from the header without changing them.
std::vector<std::string> py7zrNames(const std::filesystem::path& archive) {
    const std::string script = "import sys,py7zr\n"
                               "with py7zr.SevenZipFile(sys.argv[1]) as z:\n"
                               "  for n in sorted(z.getnames()):\n"
                               "    sys.stdout.buffer.write(n.encode('utf-8', 'surrogateescape')"
                               " + b'\\n')\n";
    std::vector<std::string> names;
    std::istringstream lines(runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " +
                                        shellQuote(archive.string())));
    for (std::string line; std::getline(lines, line);)
        names.push_back(line);
    return names;
}

// Archives only libarchive decodes (PPMd here) give their names composed; the entries are the
// header's, a decomposed name written byte for byte as stored, whatever libarchive says of it.
TEST(SevenZipLibarchiveNames, DecomposedNamesAreExtractedAsStored) {
    TemporaryDirectory temporary;
    const std::string decomposed = "cafe\xCC\x81.txt";
    const std::string folder = "re\xCC\x81sume\xCC\x81";
    std::filesystem::create_directories(temporary / "src" / folder);
    writeFile(temporary / "src" / decomposed, "hola\n");
    writeFile(temporary / "src" / folder / "n\xCC\x83.bin", sampleBytes(30000, 5, false));
    writeFile(temporary / "src" / "plano.txt", "x");
    const auto archive = makeSevenZip(temporary / "ppmd.7z", temporary / "src",
                                      decomposed + " " + folder + " plano.txt", "ppmd");
    const std::vector<std::string> stored{decomposed, "plano.txt", folder,
                                          folder + "/n\xCC\x83.bin"};
    ASSERT_EQ(py7zrNames(archive), stored);

    SevenZipArchiveEngine engine;
    Progress progress;
    std::vector<std::string> listed;
    for (const auto& item : engine.list(archive, progress).entries)
        listed.push_back(item.isDirectory ? item.path.substr(0, item.path.size() - 1) : item.path);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, stored);

    std::filesystem::create_directory(temporary / "out");
    const auto result = engine.extract(archive, {}, temporary / "out", progress);
    std::vector<std::string> written;
    for (const auto& item : std::filesystem::recursive_directory_iterator(result))
        written.push_back(std::filesystem::relative(item.path(), result).string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, stored);
    // bsdtar's own extraction holds the same bytes under its composed names.
    std::filesystem::create_directory(temporary / "bsdtar");
    runChecked("bsdtar -xf " + shellQuote(archive.string()), temporary / "bsdtar");
    EXPECT_EQ(readFile(result / decomposed), readFile(temporary / "bsdtar" / "caf\xC3\xA9.txt"));
    EXPECT_EQ(readFile(result / folder / "n\xCC\x83.bin"),
              readFile(temporary / "bsdtar" / "r\xC3\xA9sum\xC3\xA9" / "\xC3\xB1.bin"));

    // One entry chosen by its stored name, as the preview asks for it.
    engine.extractPayload({decomposed, 5, 0, false, false}, archive, temporary / "vista.txt",
                          progress, 104857600, std::nullopt, false);
    EXPECT_EQ(readFile(temporary / "vista.txt"), "hola\n");
}

TEST(SevenZipSelection, FolderMembersSelectWhatIsBelowThem) {
    struct Case {
        std::string path;
        std::set<std::string> requested;
        bool selected;
    };
    const Case cases[] = {
        {"a.txt", {}, true},
        {"docs/a.txt", {"docs"}, true},
        {"docs2/a.txt", {"docs"}, false},
        {"docs/a.txt", {"docs/a"}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isSelectedSevenZipPath(c.path, c.requested), c.selected) << c.path;
}

} // namespace
} // namespace vexa
