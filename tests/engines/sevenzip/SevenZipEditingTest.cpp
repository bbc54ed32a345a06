#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "platform/PlatformError.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/engines/sevenzip/SevenZipWriterSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace vexa {
namespace {

using namespace testing::sevenzip;

using Strings = std::vector<std::string>;
using Policy = ArchiveConflictPolicy;

// archivo.7z, written by bsdtar: docs/ with informe.pdf and sub/b.txt, portada.bin.
class SevenZipEditingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto source = temporary / "src";
        std::filesystem::create_directories(source / "docs" / "sub");
        writeFile(source / "docs" / "informe.pdf", report);
        writeFile(source / "docs" / "sub" / "b.txt", notes);
        writeFile(source / "portada.bin", cover);
        runChecked("chmod 0640 docs/informe.pdf && touch -d '2001-02-03 04:05:06 UTC' "
                   "docs/informe.pdf",
                   source);
        archive = makeSevenZip(temporary / "archivo.7z", source, "docs portada.bin");
        std::filesystem::create_directory(incoming);
    }

    std::filesystem::path addItems(const std::vector<std::filesystem::path>& items,
                                   const std::string& folder, Policy policy) {
        Progress progress;
        return SevenZipWriter::add(
            archive, std::nullopt, progress, [&](const ArchiveSummary& listed, Progress& step) {
                return SevenZipWriter::collectSources(items, folder, policy, listed, step);
            });
    }

    // The folder of the archive holds nothing but the archive and the test's own folders.
    void expectNoLeftovers() {
        EXPECT_EQ(folderNames(temporary.path()), (Strings{"archivo.7z", "entrada", "src"}));
    }

    TemporaryDirectory temporary;
    const std::filesystem::path incoming = temporary / "entrada";
    const std::string report = sampleBytes(90000, 31, true);
    const std::string notes = sampleBytes(20000, 32, true);
    const std::string cover = sampleBytes(70000, 33, false);
    std::filesystem::path archive;
    Progress progress;
};

TEST_F(SevenZipEditingTest, RenamingAFolderMovesEverythingBelowIt) {
    const ArchiveItem folder{"docs/", 0, 0, true, false};
    EXPECT_EQ(SevenZipWriter::rename(archive, folder, "papeles", std::nullopt, progress), archive);
    EXPECT_EQ(bsdtarListing(archive), (Strings{"papeles/", "papeles/informe.pdf", "papeles/sub/",
                                               "papeles/sub/b.txt", "portada.bin"}));
    EXPECT_EQ(bsdtarContent(archive, "papeles/informe.pdf"), report);
    EXPECT_EQ(bsdtarContent(archive, "papeles/sub/b.txt"), notes);
    EXPECT_EQ(bsdtarContent(archive, "portada.bin"), cover);
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    // Kept entries keep their permissions and time.
    const std::string listing = runChecked("TZ=UTC bsdtar -tvf " + shellQuote(archive));
    EXPECT_NE(listing.find("-rw-r----- "), std::string::npos) << listing;
    EXPECT_NE(listing.find("Feb  3  2001 papeles/informe.pdf"), std::string::npos) << listing;
    expectNoLeftovers();
}

TEST_F(SevenZipEditingTest, RenamingAFileInsideAFolder) {
    const ArchiveItem file{"docs/sub/b.txt", 20000, 0, false, false};
    SevenZipWriter::rename(archive, file, "nota final.txt", std::nullopt, progress);
    EXPECT_EQ(bsdtarContent(archive, "docs/sub/nota final.txt"), notes);
    EXPECT_EQ(bsdtarListing(archive).size(), 5u);
    // Only the letter case changes: the entry does not collide with itself.
    SevenZipWriter::rename(archive, {"portada.bin", 70000, 0, false, false}, "Portada.bin",
                           std::nullopt, progress);
    EXPECT_EQ(bsdtarContent(archive, "Portada.bin"), cover);
}

TEST_F(SevenZipEditingTest, RenameRefusalsLeaveTheArchiveAlone) {
    const std::string before = readFile(archive);
    const ArchiveItem cover{"portada.bin", 70000, 0, false, false};
    const struct {
        ArchiveItem entry;
        const char* name;
        ArchiveFailure expected;
    } cases[] = {
        {cover, "DOCS", ArchiveFailure::conflict("DOCS")},
        {{"docs/sub/", 0, 0, true, false}, "Informe.PDF", ArchiveFailure::conflict("Informe.PDF")},
        {cover, "a/b", ArchiveFailure::unsafePath("a/b")},
        {cover, "..", ArchiveFailure::unsafePath("..")},
        {cover, "", ArchiveFailure::unsafePath("")},
        {{"nada.txt", 1, 0, false, false}, "otro.txt", ArchiveFailure::archiveChanged()},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        expectFailure(
            [&] { SevenZipWriter::rename(archive, test.entry, test.name, std::nullopt, progress); },
            test.expected);
    }
    EXPECT_EQ(readFile(archive), before);
    expectNoLeftovers();
}

TEST_F(SevenZipEditingTest, DeletingAFolderTakesItsContents) {
    SevenZipWriter::deleteEntries(archive, {"docs/sub/", "portada.bin"}, std::nullopt, progress);
    EXPECT_EQ(bsdtarListing(archive), (Strings{"docs/", "docs/informe.pdf"}));
    EXPECT_EQ(bsdtarContent(archive, "docs/informe.pdf"), report);
    // Deleting everything leaves a valid empty archive.
    SevenZipWriter::deleteEntries(archive, {"docs"}, std::nullopt, progress);
    EXPECT_EQ(bsdtarListing(archive), Strings{});
    SevenZipArchiveEngine engine;
    EXPECT_TRUE(engine.list(archive, progress).entries.empty());
    expectNoLeftovers();
}

TEST_F(SevenZipEditingTest, DeletingNothingIsRefused) {
    expectFailure([&] { SevenZipWriter::deleteEntries(archive, {}, std::nullopt, progress); },
                  ArchiveFailure::emptySelection());
    expectFailure(
        [&] { SevenZipWriter::deleteEntries(archive, {"nada/"}, std::nullopt, progress); },
        ArchiveFailure::emptySelection());
}

TEST_F(SevenZipEditingTest, AddingWithoutAConflict) {
    std::filesystem::create_directories(incoming / "fotos");
    writeFile(incoming / "fotos" / "uno.jpg", cover);
    writeFile(incoming / "fotos" / "._uno.jpg", std::string("\x00\x05\x16\x07", 4) + "x");
    writeFile(incoming / "canción.txt", "la la");
    addItems({incoming / "fotos", incoming / "canción.txt"}, "/docs/sub", Policy::ask);
    EXPECT_EQ(
        bsdtarListing(archive),
        (Strings{"docs/", "docs/informe.pdf", "docs/sub/", "docs/sub/b.txt", "docs/sub/canción.txt",
                 "docs/sub/fotos/", "docs/sub/fotos/uno.jpg", "portada.bin"}));
    EXPECT_EQ(bsdtarContent(archive, "docs/sub/fotos/uno.jpg"), cover);
    EXPECT_EQ(bsdtarContent(archive, "docs/informe.pdf"), report);
}

TEST_F(SevenZipEditingTest, AddingARepeatedNameFollowsThePolicy) {
    const std::string fresh = sampleBytes(5000, 40, true);
    writeFile(incoming / "Informe.pdf", fresh);
    const std::string before = readFile(archive);
    const auto mtimeBefore = std::filesystem::last_write_time(archive);

    expectFailure([&] { addItems({incoming / "Informe.pdf"}, "docs/", Policy::ask); },
                  ArchiveFailure::conflict("Informe.pdf"));
    addItems({incoming / "Informe.pdf"}, "docs/", Policy::skip);
    EXPECT_EQ(readFile(archive), before);
    EXPECT_EQ(std::filesystem::last_write_time(archive), mtimeBefore);

    addItems({incoming / "Informe.pdf"}, "docs/", Policy::keepBoth);
    addItems({incoming / "Informe.pdf"}, "docs/", Policy::keepBoth);
    EXPECT_EQ(bsdtarContent(archive, "docs/Informe 2.pdf"), fresh);
    EXPECT_EQ(bsdtarContent(archive, "docs/Informe 3.pdf"), fresh);
    EXPECT_EQ(bsdtarContent(archive, "docs/informe.pdf"), report);

    addItems({incoming / "Informe.pdf"}, "docs/", Policy::replace);
    EXPECT_EQ(bsdtarListing(archive),
              (Strings{"docs/", "docs/Informe 2.pdf", "docs/Informe 3.pdf", "docs/Informe.pdf",
                       "docs/sub/", "docs/sub/b.txt", "portada.bin"}));
    EXPECT_EQ(bsdtarContent(archive, "docs/Informe.pdf"), fresh);
}

TEST_F(SevenZipEditingTest, ReplacingAFolderDropsItsFormerContents) {
    std::filesystem::create_directories(incoming / "docs");
    writeFile(incoming / "docs" / "nuevo.txt", "nuevo");
    addItems({incoming / "docs"}, "", Policy::replace);
    EXPECT_EQ(bsdtarListing(archive), (Strings{"docs/", "docs/nuevo.txt", "portada.bin"}));

    std::filesystem::create_directories(incoming / "otra" / "docs");
    addItems({incoming / "otra" / "docs"}, "", Policy::keepBoth);
    EXPECT_EQ(bsdtarListing(archive),
              (Strings{"docs 2/", "docs/", "docs/nuevo.txt", "portada.bin"}));
}

TEST_F(SevenZipEditingTest, TwoNewItemsWithOneName) {
    std::filesystem::create_directories(incoming / "a");
    std::filesystem::create_directories(incoming / "b");
    writeFile(incoming / "a" / "x.txt", "a");
    writeFile(incoming / "b" / "X.txt", "b");
    const std::vector<std::filesystem::path> both{incoming / "a" / "x.txt",
                                                  incoming / "b" / "X.txt"};
    // Nothing listed to replace: the second one is a conflict even under replace.
    expectFailure([&] { addItems(both, "", Policy::replace); }, ArchiveFailure::conflict("X.txt"));
    addItems(both, "", Policy::keepBoth);
    EXPECT_EQ(bsdtarContent(archive, "x.txt"), "a");
    EXPECT_EQ(bsdtarContent(archive, "X 2.txt"), "b");
}

TEST_F(SevenZipEditingTest, AddRefusals) {
    const std::string before = readFile(archive);
    expectFailure([&] { addItems({archive}, "", Policy::ask); }, ArchiveFailure::sourceIsArchive());
    expectFailure([&] { addItems({temporary.path()}, "", Policy::keepBoth); },
                  ArchiveFailure::sevenZipFailure(
                      "el RAR no puede guardarse dentro de una carpeta que se va a comprimir."));
    expectFailure([&] { addItems({}, "", Policy::ask); }, ArchiveFailure::emptySelection());
    // A file in the archive cannot become a folder.
    writeFile(incoming / "x.txt", "x");
    expectFailure([&] { addItems({incoming / "x.txt"}, "portada.bin/", Policy::ask); },
                  ArchiveFailure::duplicate("portada.bin/x.txt"));
    EXPECT_EQ(readFile(archive), before);
    expectNoLeftovers();
}

// The archive is touched by someone else while the edit runs: the edit keeps its hands off.
TEST_F(SevenZipEditingTest, AnArchiveChangedDuringTheEditIsNotReplaced) {
    writeFile(incoming / "nuevo.txt", "nuevo");
    const std::string before = readFile(archive);
    Progress local;
    expectFailure(
        [&] {
            SevenZipWriter::add(archive, std::nullopt, local,
                                [&](const ArchiveSummary& listed, Progress& step) {
                                    runChecked("touch -d '2010-01-01' " + shellQuote(archive));
                                    return SevenZipWriter::collectSources(
                                        {incoming / "nuevo.txt"}, "", Policy::ask, listed, step);
                                });
        },
        ArchiveFailure::archiveChanged());
    EXPECT_EQ(readFile(archive), before);
    expectNoLeftovers();
}

// A file that changes between the walk and its writing never passes for its original.
TEST_F(SevenZipEditingTest, ASourceChangedWhileArchivingFailsTheAdd) {
    const std::string before = readFile(archive);
    for (const std::string& replacement : {std::string("corto"), report + "más"}) {
        writeFile(incoming / "nuevo.txt", report);
        Progress local;
        expectFailure(
            [&] {
                SevenZipWriter::add(archive, std::nullopt, local,
                                    [&](const ArchiveSummary& listed, Progress& step) {
                                        auto plan = SevenZipWriter::collectSources(
                                            {incoming / "nuevo.txt"}, "", Policy::ask, listed,
                                            step);
                                        writeFile(incoming / "nuevo.txt", replacement);
                                        return plan;
                                    });
            },
            ArchiveFailure::sevenZipFailure(
                "«nuevo.txt» no coincide con el original. Puede haber cambiado durante la "
                "compresión."));
        std::filesystem::remove(incoming / "nuevo.txt");
    }
    EXPECT_EQ(readFile(archive), before);
    expectNoLeftovers();
}

TEST_F(SevenZipEditingTest, CancellationLeavesTheArchiveAlone) {
    writeFile(incoming / "nuevo.txt", "nuevo");
    const std::string before = readFile(archive);
    Progress cancelled;
    cancelled.cancel();
    EXPECT_THROW(SevenZipWriter::deleteEntries(archive, {"docs/"}, std::nullopt, cancelled),
                 CancellationError);
    Progress local;
    EXPECT_THROW(SevenZipWriter::add(archive, std::nullopt, local,
                                     [&](const ArchiveSummary& listed, Progress& step) {
                                         auto plan = SevenZipWriter::collectSources(
                                             {incoming / "nuevo.txt"}, "", Policy::ask, listed,
                                             step);
                                         local.cancel();
                                         return plan;
                                     }),
                 CancellationError);
    EXPECT_EQ(readFile(archive), before);
    expectNoLeftovers();
}

// Entries written again keep the archive's character: a stored archive stays stored (an edit
// does not spend minutes compressing it), a compressed one stays compressed.
TEST_F(SevenZipEditingTest, EditsKeepWhetherTheArchiveIsCompressed) {
    const std::int64_t content = 90000 + 20000 + 70000;
    const auto compressed = archive;
    SevenZipWriter::rename(compressed, {"portada.bin", 70000, 0, false, false}, "tapa.bin",
                           std::nullopt, progress);
    EXPECT_LT(static_cast<std::int64_t>(std::filesystem::file_size(compressed)), content - 50000);

    archive =
        makeSevenZip(temporary / "guardado.7z", temporary / "src", "docs portada.bin", "store");
    const std::string added = sampleBytes(40000, 34, true);
    writeFile(incoming / "nuevo.txt", added);
    addItems({incoming / "nuevo.txt"}, "", Policy::ask);
    EXPECT_GE(static_cast<std::int64_t>(std::filesystem::file_size(archive)), content + 40000);
    EXPECT_EQ(bsdtarContent(archive, "nuevo.txt"), added);
    EXPECT_EQ(bsdtarContent(archive, "docs/informe.pdf"), report);
}

// PPMd folders are copied as they are and read back through libarchive, from the one opening.
TEST_F(SevenZipEditingTest, AnArchiveOnlyLibarchiveDecodesIsEditedAndReadBack) {
    archive = makeSevenZip(temporary / "ppmd.7z", temporary / "src", "docs portada.bin", "ppmd");
    EXPECT_EQ(SevenZipWriter::rename(archive, {"portada.bin", 70000, 0, false, false}, "tapa.bin",
                                     std::nullopt, progress),
              archive);
    EXPECT_EQ(bsdtarContent(archive, "tapa.bin"), cover);
    EXPECT_EQ(bsdtarContent(archive, "docs/sub/b.txt"), notes);
}

// Every header field py7zr reads of each entry, by name: what a kept entry must keep exactly.
std::map<std::string, std::string> py7zrHeaderFields(const std::filesystem::path& archive) {
    const std::string script =
        "import sys,py7zr\n"
        "with py7zr.SevenZipFile(sys.argv[1]) as z:\n"
        "  for f in z.files:\n"
        "    i = f._file_info\n"
        "    print(f.filename.encode('utf-8', 'surrogateescape').hex(), sorted((k, str(v)) for k, "
        "v in i.items() if k in ('attributes', 'lastwritetime', 'creationtime', 'lastaccesstime', "
        "'emptystream', 'uncompressed', 'digest')))\n";
    std::map<std::string, std::string> fields;
    std::istringstream lines(runChecked("/usr/bin/python3 -c " + shellQuote(script) + " " +
                                        shellQuote(archive.string())));
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        std::string name;
        for (std::size_t i = 0; i + 1 < space; i += 2)
            name.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        fields[name] = line.substr(space + 1);
    }
    return fields;
}

// py7zr stores Unix bits without a file type (0x01A48020); a delete that splits its solid folder
// writes the kept entries again, and each keeps every field py7zr wrote, as rename and add do.
TEST_F(SevenZipEditingTest, EditsOfAPy7zrArchiveKeepEveryHeaderField) {
    const auto source = temporary / "py";
    std::filesystem::create_directories(source / "carpeta");
    for (int i = 0; i < 6; ++i)
        writeFile(source / "carpeta" / ("f" + std::to_string(i) + ".txt"),
                  sampleBytes(5000 + i * 1000, 40 + i, true));
    writeFile(source / "suelto.bin", sampleBytes(20000, 50, false));
    writeFile(source / "vacio.txt", "");
    runChecked("chmod 0600 carpeta/f2.txt && chmod 0750 carpeta && touch -d '2003-04-05 "
               "06:07:08.123456789 UTC' carpeta/f3.txt",
               source);
    archive = makePy7zr(temporary / "py.7z", source);
    auto before = py7zrHeaderFields(archive);
    ASSERT_EQ(before.size(), 9u);
    ASSERT_NE(before["carpeta/f1.txt"].find("27557920"), std::string::npos); // 0x01A48020

    SevenZipWriter::deleteEntries(archive, {"carpeta/f1.txt", "suelto.bin"}, std::nullopt,
                                  progress);
    before.erase("carpeta/f1.txt");
    before.erase("suelto.bin");
    EXPECT_EQ(py7zrHeaderFields(archive), before);
    EXPECT_EQ(py7zrCheck(archive, source).exitStatus, 0);

    SevenZipWriter::rename(archive, {"carpeta/f4.txt", 9000, 0, false, false}, "g4.txt",
                           std::nullopt, progress);
    before["carpeta/g4.txt"] = before["carpeta/f4.txt"];
    before.erase("carpeta/f4.txt");
    EXPECT_EQ(py7zrHeaderFields(archive), before);

    writeFile(incoming / "nuevo.txt", "nuevo");
    addItems({incoming / "nuevo.txt"}, "carpeta/", Policy::ask);
    auto after = py7zrHeaderFields(archive);
    EXPECT_EQ(after.erase("carpeta/nuevo.txt"), 1u);
    EXPECT_EQ(after, before);
}

// An archive only libarchive decodes, holding decomposed names: every edit finds its entries by
// the names stored, and the kept ones keep those names byte for byte.
TEST_F(SevenZipEditingTest, EditsOfALibarchiveOnlyArchiveKeepDecomposedNames) {
    const auto source = temporary / "nfd";
    const std::string cafe = "cafe\xCC\x81.txt";
    const std::string folder = "ma\xCC\x81s";
    std::filesystem::create_directories(source / folder);
    writeFile(source / cafe, report);
    writeFile(source / folder / "n\xCC\x83.txt", notes);
    writeFile(source / "otro.bin", cover);
    archive = makeSevenZip(temporary / "nfd.7z", source, cafe + " " + folder + " otro.bin", "ppmd");

    SevenZipWriter::rename(archive, {cafe, 90000, 0, false, false}, "te\xCC\x81.txt", std::nullopt,
                           progress);
    SevenZipWriter::deleteEntries(archive, {"otro.bin"}, std::nullopt, progress);
    writeFile(incoming / "nuevo.txt", "nuevo");
    addItems({incoming / "nuevo.txt"}, "", Policy::ask);
    const auto fields = py7zrHeaderFields(archive);
    std::vector<std::string> names;
    for (const auto& [name, field] : fields)
        names.push_back(name);
    EXPECT_EQ(names, (Strings{folder, folder + "/n\xCC\x83.txt", "nuevo.txt", "te\xCC\x81.txt"}));
    // bsdtar reads them back composed, with the data they had.
    EXPECT_EQ(bsdtarContent(archive, "t\xC3\xA9.txt"), report);
    EXPECT_EQ(bsdtarContent(archive, "m\xC3\xA1s/\xC3\xB1.txt"), notes);
    EXPECT_EQ(bsdtarContent(archive, "nuevo.txt"), "nuevo");
}

// A volume set cut by split(1) from bsdtar's archive, saved again as one file.
TEST_F(SevenZipEditingTest, SavingAVolumeSetAsOneFile) {
    std::filesystem::create_directory(temporary / "set");
    runChecked("split -b 32768 -d -a 3 --numeric-suffixes=1 " + shellQuote(archive) +
                   " set/copia.7z.",
               temporary.path());
    ASSERT_TRUE(std::filesystem::exists(temporary / "set" / "copia.7z.003"));
    const auto destination = temporary / "set" / "copia — único.7z";
    SevenZipWriter::saveAsSingle(temporary / "set" / "copia.7z.001", destination, progress,
                                 std::nullopt);
    EXPECT_EQ(bsdtarListing(destination), bsdtarListing(archive));
    EXPECT_EQ(bsdtarContent(destination, "docs/sub/b.txt"), notes);
    EXPECT_EQ(bsdtarContent(destination, "portada.bin"), cover);
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());

    // One of the set's own parts is never the destination.
    expectFailure(
        [&] {
            SevenZipWriter::saveAsSingle(temporary / "set" / "copia.7z.001",
                                         temporary / "set" / "copia.7z.002", progress,
                                         std::nullopt);
        },
        ArchiveFailure::sourceIsArchive());
    // A set is never edited in place: its first part would become a whole archive beside the
    // other parts.
    expectFailure(
        [&] {
            SevenZipWriter::deleteEntries(temporary / "set" / "copia.7z.001", {"docs/"},
                                          std::nullopt, progress);
        },
        ArchiveFailure::splitEditing());
    EXPECT_EQ(folderNames(temporary / "set"),
              (Strings{"copia — único.7z", "copia.7z.001", "copia.7z.002", "copia.7z.003"}));

    // A missing part is the reader's failure, and nothing is written.
    std::filesystem::remove(temporary / "set" / "copia.7z.003");
    const auto other = temporary / "otra.7z";
    expectFailure(
        [&] {
            SevenZipWriter::saveAsSingle(temporary / "set" / "copia.7z.001", other, progress,
                                         std::nullopt);
        },
        ArchiveFailure::missingVolume("copia.7z.003"));
    EXPECT_FALSE(std::filesystem::exists(other));
}

// Every file and folder below `root`, folders ending in "/", sorted: what an archive of its
// items must list.
Strings treeListing(const std::filesystem::path& root) {
    Strings names;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        auto name = std::filesystem::relative(item.path(), root).string();
        names.push_back(item.is_directory() ? name + "/" : name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Rename, delete, add and saving a set as one file keep an encrypted archive encrypted with
// the same password and its names hidden (true) or not as before. After each step py7zr reads
// it with the password against a mirror tree changed the same way; at the end it refuses a
// wrong one.
class SevenZipEncryptedEditingTest : public ::testing::TestWithParam<bool> {};

TEST_P(SevenZipEncryptedEditingTest, EditsKeepTheProtection) {
    const std::string password = "clave de edición";
    const bool hideNames = GetParam();
    {
        TemporaryDirectory temporary;
        const auto mirror = temporary / "espejo";
        std::filesystem::create_directories(mirror / "docs" / "sub");
        writeFile(mirror / "docs" / "informe.pdf", sampleBytes(90000, 41, true));
        writeFile(mirror / "docs" / "sub" / "b.txt", sampleBytes(20000, 42, true));
        writeFile(mirror / "portada.bin", sampleBytes(150000, 43, false));
        writeFile(temporary / "nuevo.txt", "nuevo");
        Progress progress;
        const auto judge = [&](const std::filesystem::path& archive) {
            const auto judged = py7zrCheck(archive, mirror, password);
            EXPECT_EQ(judged.exitStatus, 0) << judged.output;
            EXPECT_EQ(sortedLines(judged.output), treeListing(mirror));
            SevenZipArchiveEngine plain;
            if (hideNames) {
                expectFailure([&] { plain.list(archive, progress); },
                              ArchiveFailure::passwordRequired());
            } else {
                const auto entries = plain.list(archive, progress).entries;
                EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                                        [](const ArchiveItem& item) { return item.isEncrypted; }));
            }
        };

        // A split set saved as one file.
        const auto first = SevenZipWriter::create({mirror / "docs", mirror / "portada.bin"},
                                                  temporary / "archivo.7z", progress, 65536,
                                                  password, hideNames, 5);
        const auto archive = temporary / "archivo.7z";
        SevenZipWriter::saveAsSingle(first, archive, progress, password);
        judge(archive);

        // A rename keeps every file, so the folder's packed bytes are copied as they are
        // instead of being compressed and encrypted again under a new IV.
        const std::string packedBefore = readFile(archive).substr(32, 4096);
        SevenZipWriter::rename(archive, {"docs/sub/b.txt", 20000, 0, false, true}, "nota.txt",
                               password, progress);
        EXPECT_EQ(readFile(archive).substr(32, 4096), packedBefore);
        std::filesystem::rename(mirror / "docs" / "sub" / "b.txt",
                                mirror / "docs" / "sub" / "nota.txt");
        judge(archive);

        SevenZipWriter::deleteEntries(archive, {"portada.bin"}, password, progress);
        std::filesystem::remove(mirror / "portada.bin");
        judge(archive);

        SevenZipWriter::add(archive, password, progress,
                            [&](const ArchiveSummary& listed, Progress& step) {
                                return SevenZipWriter::collectSources(
                                    {temporary / "nuevo.txt"}, "docs", Policy::ask, listed, step);
                            });
        std::filesystem::copy_file(temporary / "nuevo.txt", mirror / "docs" / "nuevo.txt");
        judge(archive);
        EXPECT_EQ(py7zrCheckWrongPassword(archive, mirror).exitStatus, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, SevenZipEncryptedEditingTest, ::testing::Bool());

} // namespace
} // namespace vexa
