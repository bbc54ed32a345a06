#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "platform/PlatformError.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/engines/sevenzip/SevenZipWriterSupport.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace vexa {
namespace {

using namespace testing::sevenzip;

using Strings = std::vector<std::string>;

// Sources: a folder "Fotos" (a.jpg, vacío.txt, sub/b.txt and a "._a.jpg" that is never
// archived) and a loose file "notas.txt".
class SevenZipCreationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(folder / "sub");
        writeFile(folder / "a.jpg", photo);
        writeFile(folder / "._a.jpg", std::string("\x00\x05\x16\x07", 4) + "resource fork");
        writeFile(folder / "vacío.txt", "");
        writeFile(folder / "sub" / "b.txt", notes);
        writeFile(loose, notes + notes);
        std::filesystem::create_directory(output);
    }

    std::filesystem::path create(const std::filesystem::path& destination, std::int64_t volume = 0,
                                 int level = 5) {
        return SevenZipWriter::create({folder, loose}, destination, progress, volume, std::nullopt,
                                      false, level);
    }

    TemporaryDirectory temporary;
    const std::filesystem::path folder = temporary / "Fotos";
    const std::filesystem::path loose = temporary / "notas.txt";
    const std::filesystem::path output = temporary / "out";
    const std::string photo = sampleBytes(150000, 3, false);
    const std::string notes = sampleBytes(30000, 4, true);
    const Strings expectedListing{"Fotos/",          "Fotos/a.jpg",     "Fotos/sub/",
                                  "Fotos/sub/b.txt", "Fotos/vacío.txt", "notas.txt"};
    Progress progress;
};

TEST_F(SevenZipCreationTest, EveryLevelReadsBackThroughBsdtar) {
    for (int level : {0, 1, 5, 9}) {
        SCOPED_TRACE(level);
        const auto destination = output / ("nivel" + std::to_string(level) + ".7z");
        Progress local;
        EXPECT_EQ(SevenZipWriter::create({folder, loose}, destination, local, 0, std::nullopt,
                                         false, level),
                  destination);
        EXPECT_EQ(bsdtarListing(destination), expectedListing);
        EXPECT_EQ(bsdtarContent(destination, "Fotos/a.jpg"), photo);
        EXPECT_EQ(bsdtarContent(destination, "Fotos/sub/b.txt"), notes);
        EXPECT_EQ(bsdtarContent(destination, "notas.txt"), notes + notes);
        EXPECT_EQ(local.completedUnitCount(), local.totalUnitCount());
        const auto judged = py7zrCheck(destination, temporary.path());
        EXPECT_EQ(judged.exitStatus, 0) << judged.output;
        EXPECT_EQ(sortedLines(judged.output), expectedListing);
    }
    // Stored data is as large as the sources; compressed text is far smaller.
    EXPECT_GT(std::filesystem::file_size(output / "nivel0.7z"), 210000u);
    EXPECT_LT(std::filesystem::file_size(output / "nivel9.7z"),
              std::filesystem::file_size(output / "nivel0.7z") - 50000);
}

// Files cut into many segments compressed at once (level 1), and enough data for several
// folders (stored, to stay quick) with an empty file among them, read back the same through both
// independent readers, split or not.
TEST_F(SevenZipCreationTest, ManySegmentsAndFoldersReadBackEverywhere) {
    writeFile(folder / "sub" / "texto.txt", sampleBytes(3 << 20, 5, true));
    writeFile(folder / "sub" / "ruido.bin", sampleBytes(1 << 20, 6, false));
    const std::string block = sampleBytes(1 << 20, 7, false);
    std::string big;
    for (int i = 0; i < 40; ++i)
        big += block;
    writeFile(temporary / "grande" / "a.bin", big);
    writeFile(temporary / "grande" / "b.bin", big + "x");
    writeFile(temporary / "grande" / "c vacío.txt", "");
    const Strings listing{"Fotos/",
                          "Fotos/a.jpg",
                          "Fotos/sub/",
                          "Fotos/sub/b.txt",
                          "Fotos/sub/ruido.bin",
                          "Fotos/sub/texto.txt",
                          "Fotos/vacío.txt",
                          "notas.txt"};
    const Strings bigListing{"grande/", "grande/a.bin", "grande/b.bin", "grande/c vacío.txt",
                             "notas.txt"};
    const struct {
        int level;
        std::int64_t volume;
        std::vector<std::filesystem::path> sources;
        const Strings& listing;
    } cases[] = {
        {1, 0, {folder, loose}, listing},
        {1, 1 << 20, {folder, loose}, listing},
        {0, 0, {temporary / "grande", loose}, bigListing},
        {0, 16 << 20, {temporary / "grande", loose}, bigListing},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(std::to_string(test.level) + " " + std::to_string(test.volume));
        std::filesystem::remove_all(output);
        std::filesystem::create_directory(output);
        Progress local;
        auto archive = SevenZipWriter::create(test.sources, output / "x.7z", local, test.volume,
                                              std::nullopt, false, test.level);
        if (test.volume > 0) {
            runChecked("cat " + shellQuote((archive.parent_path() / "x.7z.").string()) + "0* > " +
                           shellQuote((output / "joined.7z").string()),
                       temporary.path());
            archive = output / "joined.7z";
        }
        EXPECT_EQ(bsdtarListing(archive), test.listing);
        const auto judged = py7zrCheck(archive, temporary.path());
        EXPECT_EQ(judged.exitStatus, 0) << judged.output;
        EXPECT_EQ(sortedLines(judged.output), test.listing);
    }
}

// Each level keeps its own dictionary: at level 1 (1 MiB) a random piece repeated 600 KiB later
// shrinks to one copy. A random stretch inside a file is stored between compressed text, and
// files beyond a block's room start further folders; both independent readers get every byte.
TEST_F(SevenZipCreationTest, DictionariesRepeatsAndRandomStretchesReadBackEverywhere) {
    const auto sources = temporary / "bloques";
    const std::string piece = sampleBytes(600 << 10, 11, false);
    writeFile(sources / "repetido.bin", piece + piece + piece + piece);
    writeFile(sources / "mezcla.txt", sampleBytes(1 << 20, 12, true) +
                                          sampleBytes(3 << 20, 13, false) +
                                          sampleBytes(1 << 20, 14, true));
    for (int i = 0; i < 4; ++i)
        writeFile(sources / ("texto-" + std::to_string(i) + ".txt"),
                  sampleBytes(1 << 20, 20 + i, true));
    const auto archive = output / "x.7z";
    SevenZipWriter::create({sources}, archive, progress, 0, std::nullopt, false, 1);
    // One copy of the random piece, the random stretch stored, and the text well packed.
    const auto size = std::filesystem::file_size(archive);
    EXPECT_GT(size, (3u << 20) + (600u << 10));
    EXPECT_LT(size, (3u << 20) + (600u << 10) + (1u << 20));
    TemporaryDirectory extracted;
    runChecked("bsdtar -xf " + shellQuote(archive.string()), extracted.path());
    EXPECT_TRUE(readFile(extracted / "bloques" / "repetido.bin") == piece + piece + piece + piece);
    const auto judged = py7zrCheck(archive, temporary.path());
    EXPECT_EQ(judged.exitStatus, 0) << judged.output;
    EXPECT_EQ(
        sortedLines(judged.output),
        (Strings{"bloques/", "bloques/mezcla.txt", "bloques/repetido.bin", "bloques/texto-0.txt",
                 "bloques/texto-1.txt", "bloques/texto-2.txt", "bloques/texto-3.txt"}));
}

// Random data is stored as it is; data with even byte frequencies that repeats (a cycle of all
// 256 values) still shrinks. Both independent readers get every byte back.
TEST_F(SevenZipCreationTest, RandomDataIsStoredAndRepeatsStillShrink) {
    const auto sources = temporary / "mezcla";
    std::string cycle;
    for (int i = 0; i < (1 << 20); ++i)
        cycle += static_cast<char>(i % 256);
    writeFile(sources / "ruido.bin", sampleBytes(1 << 20, 8, false));
    writeFile(sources / "ciclo.bin", cycle);
    writeFile(sources / "texto.txt", sampleBytes(300000, 9, true) + sampleBytes(1000, 10, false));
    const auto archive = output / "x.7z";
    SevenZipWriter::create({sources}, archive, progress, 0, std::nullopt, false, 5);
    EXPECT_GT(std::filesystem::file_size(archive), 1u << 20);
    EXPECT_LT(std::filesystem::file_size(archive), (1u << 20) + 200000);
    EXPECT_EQ(bsdtarContent(archive, "mezcla/ciclo.bin"), cycle);
    const auto judged = py7zrCheck(archive, temporary.path());
    EXPECT_EQ(judged.exitStatus, 0) << judged.output;
}

TEST_F(SevenZipCreationTest, KeepsPermissionsAndTimes) {
    runChecked("chmod 0750 Fotos/sub && chmod 0600 notas.txt && "
               "touch -d '2001-02-03 04:05:06 UTC' Fotos/a.jpg",
               temporary.path());
    const auto destination = create(output / "x.7z");
    const std::string listing = runChecked("TZ=UTC bsdtar -tvf " + shellQuote(destination));
    EXPECT_NE(listing.find("drwxr-x---"), std::string::npos) << listing;
    EXPECT_NE(listing.find("-rw------- "), std::string::npos) << listing;
    EXPECT_NE(listing.find("Feb  3  2001 Fotos/a.jpg"), std::string::npos) << listing;
}

TEST_F(SevenZipCreationTest, ReplacesAnExistingDestinationAndLeavesNothingElse) {
    const auto destination = output / "x.7z";
    writeFile(destination, "old");
    create(destination);
    EXPECT_EQ(bsdtarListing(destination), expectedListing);
    EXPECT_EQ(folderNames(output), Strings{"x.7z"});
}

TEST_F(SevenZipCreationTest, SplitsIntoPartsOfExactlyTheVolumeSize) {
    const auto destination = output / "Viaje.7z";
    const auto first = create(destination, 65536, 0);
    const auto parts = output / "Viaje — partes";
    EXPECT_EQ(first, parts / "Viaje.7z.001");
    EXPECT_FALSE(std::filesystem::exists(destination));

    const Strings names = folderNames(parts);
    ASSERT_EQ(names, (Strings{"Viaje.7z.001", "Viaje.7z.002", "Viaje.7z.003", "Viaje.7z.004"}));
    std::uintmax_t total = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto size = std::filesystem::file_size(parts / names[i]);
        total += size;
        if (i + 1 < names.size())
            EXPECT_EQ(size, 65536u) << names[i];
        else
            EXPECT_GT(size, 0u);
    }
    EXPECT_GT(total, 210000u);

    // bsdtar reads 7z only from a seekable file, so the parts are joined first.
    runChecked("cat " + shellQuote((parts / "Viaje.7z.").string()) + "0* > joined.7z",
               temporary.path());
    EXPECT_EQ(bsdtarListing(temporary / "joined.7z"), expectedListing);
    EXPECT_EQ(bsdtarContent(temporary / "joined.7z", "notas.txt"), notes + notes);
    SevenZipArchiveEngine engine;
    const auto summary = engine.list(first, progress);
    EXPECT_EQ(summary.volumes.size(), 4u);
    const auto extracted = engine.extract(first, {"Fotos/a.jpg"}, output, progress);
    EXPECT_EQ(readFile(extracted / "Fotos" / "a.jpg"), photo);

    // A second split creation does not touch the first set.
    EXPECT_EQ(create(destination, 65536, 0), output / "Viaje — partes 2" / "Viaje.7z.001");
    EXPECT_EQ(folderNames(parts).size(), 4u);
}

TEST_F(SevenZipCreationTest, RefusesBadSettingsBeforeWritingAnything) {
    const auto destination = output / "x.7z";
    const auto attempt = [&](std::vector<std::filesystem::path> sources, std::int64_t volume,
                             std::optional<std::string> password, bool headers, int level) {
        return [=, this] {
            Progress local;
            SevenZipWriter::create(sources, destination, local, volume, password, headers, level);
        };
    };
    const struct {
        const char* label;
        std::function<void()> work;
        ArchiveFailure expected;
    } cases[] = {
        {"no sources", attempt({}, 0, std::nullopt, false, 5), ArchiveFailure::emptySelection()},
        {"volume 65535", attempt({loose}, 65535, std::nullopt, false, 5),
         ArchiveFailure::unsupported7z()},
        {"negative volume", attempt({loose}, -1, std::nullopt, false, 5),
         ArchiveFailure::unsupported7z()},
        {"level 10", attempt({loose}, 0, std::nullopt, false, 10), ArchiveFailure::unsupported7z()},
        {"level -1", attempt({loose}, 0, std::nullopt, false, -1), ArchiveFailure::unsupported7z()},
        {"password with volume 65535", attempt({loose}, 65535, "secreto", true, 5),
         ArchiveFailure::unsupported7z()},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.label);
        expectFailure(test.work, test.expected);
    }
    EXPECT_TRUE(folderNames(output).empty());

    // Hidden names without a password are ignored.
    Progress local;
    SevenZipWriter::create({loose}, destination, local, 65536, std::nullopt, true, 5);
    EXPECT_EQ(folderNames(output), Strings{"x — partes"});
}

// With a password py7zr opens the archive only with that password; hidden names also keep the
// listing from anyone without it, while plain headers list with the data marked encrypted.
// A name that is not UTF-8 has no UTF-16 form of its own: decoded loosely, "a" E0 80 AF "b"
// would be stored as "a/b" and C0 80 as a NUL. Such a source is refused by its name, before
// anything is written, as py7zr refuses it too; an add refuses it the same way.
TEST_F(SevenZipCreationTest, NamesThatAreNotUTF8AreRefusedNotReplaced) {
    const std::string inside = "a\xE0\x80\xAF"
                               "b.txt";
    const std::string loose = "\xC0\x80.txt";
    writeFile(folder / inside, "x");
    writeFile(temporary / loose, "y");
    const auto destination = output / "x.7z";
    expectFailure([&] { create(destination); },
                  ArchiveFailure::sevenZipFailure(unstorableNameMessage("Fotos/" + inside)));
    expectFailure(
        [&] {
            SevenZipWriter::create({temporary / loose}, destination, progress, 0, std::nullopt,
                                   false, 5);
        },
        ArchiveFailure::sevenZipFailure(unstorableNameMessage(loose)));
    EXPECT_TRUE(std::filesystem::is_empty(output));
    EXPECT_NE(runCommand("/usr/bin/python3 -c 'import sys,py7zr\n"
                         "with py7zr.SevenZipFile(sys.argv[1], \"w\") as z: "
                         "z.writeall(sys.argv[2], \"Fotos\")' " +
                         shellQuote(destination.string()) + " " + shellQuote(folder.string()))
                  .exitStatus,
              0);
    std::filesystem::remove(destination);

    std::filesystem::remove(folder / inside);
    const auto archive = create(destination);
    const auto before = readFile(archive);
    writeFile(folder / "sub" / inside, "x");
    // A loose file, and a folder holding such a name.
    const std::pair<std::filesystem::path, std::string> additions[] = {
        {temporary / loose, loose}, {folder, "Fotos/Fotos/sub/" + inside}};
    for (const auto& [source, refused] : additions) {
        expectFailure(
            [&, &source = source] {
                SevenZipWriter::add(archive, std::nullopt, progress,
                                    [&](const ArchiveSummary& listed, Progress& step) {
                                        return SevenZipWriter::collectSources(
                                            {source}, "Fotos/", ArchiveConflictPolicy::keepBoth,
                                            listed, step);
                                    });
            },
            ArchiveFailure::sevenZipFailure(unstorableNameMessage(refused)));
    }
    EXPECT_EQ(readFile(archive), before);
}

TEST_F(SevenZipCreationTest, PasswordsProtectTheDataAndOnRequestTheNames) {
    const struct {
        const char* label;
        bool hideNames;
        std::int64_t volume;
        int level;
    } cases[] = {
        {"data", false, 0, 5},
        {"names", true, 0, 5},
        {"names, split", true, 65536, 5},
        {"stored data", false, 0, 0},
        {"stored names, split", true, 65536, 0},
    };
    const std::string password = "contraseña 7z";
    for (const auto& test : cases) {
        SCOPED_TRACE(test.label);
        std::filesystem::remove_all(output);
        std::filesystem::create_directory(output);
        Progress local;
        auto archive = SevenZipWriter::create({folder, loose}, output / "x.7z", local, test.volume,
                                              password, test.hideNames, test.level);
        SevenZipArchiveEngine plain;
        if (test.hideNames) {
            expectFailure([&] { plain.list(archive, local); }, ArchiveFailure::passwordRequired());
        } else {
            for (const auto& entry : plain.list(archive, local).entries)
                EXPECT_EQ(entry.isEncrypted, !entry.isDirectory && entry.size > 0) << entry.path;
        }
        if (test.volume > 0) {
            runChecked("cat " + shellQuote((archive.parent_path() / "x.7z.").string()) + "0* > " +
                           shellQuote((output / "joined.7z").string()),
                       temporary.path());
            archive = output / "joined.7z";
        }
        const auto judged = py7zrCheck(archive, temporary.path(), password);
        EXPECT_EQ(judged.exitStatus, 0) << judged.output;
        EXPECT_EQ(sortedLines(judged.output), expectedListing);
        for (const auto& refused : {py7zrCheckWrongPassword(archive, temporary.path()),
                                    py7zrCheck(archive, temporary.path())})
            EXPECT_EQ(refused.exitStatus, 3) << refused.output;
        // Hidden names leave no name in the clear, even with the header stored.
        if (test.hideNames) {
            EXPECT_EQ(readFile(archive).find(std::string("n\0o\0t\0a\0s", 9)), std::string::npos);
        }
    }
}

TEST_F(SevenZipCreationTest, RefusesADestinationInsideASourceFolder) {
    for (const auto& destination : {folder / "x.7z", folder / "sub" / "x.7z"}) {
        expectFailure(
            [&] { create(destination); },
            ArchiveFailure::sevenZipFailure(
                "el RAR no puede guardarse dentro de una carpeta que se va a comprimir."));
        EXPECT_FALSE(std::filesystem::exists(destination));
    }
    // Beside the folder is fine, even with a name that starts like it.
    EXPECT_NO_THROW(create(temporary / "Fotos2.7z"));
}

TEST_F(SevenZipCreationTest, SourceWalkRefusalsPassThrough) {
    std::filesystem::create_symlink(loose, folder / "enlace");
    expectFailure([&] { create(output / "x.7z"); }, ArchiveFailure::symbolicLink("Fotos/enlace"));
    std::filesystem::remove(folder / "enlace");

    std::filesystem::create_directory(temporary / "otra");
    writeFile(temporary / "otra" / "NOTAS.TXT", "x");
    Progress local;
    expectFailure(
        [&] {
            SevenZipWriter::create({loose, temporary / "otra" / "NOTAS.TXT"}, output / "x.7z",
                                   local, 0, std::nullopt, false, 5);
        },
        ArchiveFailure::duplicate("NOTAS.TXT"));
    EXPECT_TRUE(folderNames(output).empty());
}

TEST_F(SevenZipCreationTest, CancellationLeavesNothingBehind) {
    progress.cancel();
    EXPECT_THROW(create(output / "x.7z"), CancellationError);
    EXPECT_THROW(create(output / "x.7z", 65536), CancellationError);
    EXPECT_TRUE(folderNames(output).empty());
}

// Cancelling while the archive is being written (from the sink's side) still cleans up.
TEST_F(SevenZipCreationTest, CancellationWhileWritingLeavesNothingBehind) {
    writeFile(folder / "grande.bin", sampleBytes(3 * 1024 * 1024, 9, false));
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        while (!stop && progress.completedUnitCount() < 1024 * 1024)
            std::this_thread::yield();
        progress.cancel();
    });
    EXPECT_THROW(create(output / "x.7z", 65536, 1), CancellationError);
    stop = true;
    canceller.join();
    EXPECT_TRUE(folderNames(output).empty());
}

} // namespace
} // namespace vexa
