#include "TarFixtures.h"
#include "engines/tar/TarArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;

struct CompressionCase {
    TarCompression compression;
    std::string extension;    // of a TAR archive
    std::string decompressor; // reads a single compressed file to standard output
};

const std::vector<CompressionCase> compressions = {
    {TarCompression::none, "tar", ""},
    {TarCompression::gzip, "tar.gz", "gzip -dc"},
    {TarCompression::bzip2, "tar.bz2", "bzip2 -dc"},
    {TarCompression::xz, "tar.xz", "xz -dc"},
    {TarCompression::zstd, "tar.zst", "zstd -dc"},
};

class TarCreation : public ::testing::TestWithParam<CompressionCase> {};

// GNU tar and bsdtar both unpack what we wrote into exactly the sources, names with accents
// and empty folders included, and the archive's own test tool accepts it.
TEST_P(TarCreation, ArchiveUnpacksWithIndependentToolsAsTheSources) {
    const CompressionCase& param = GetParam();
    TemporaryDirectory folder;
    fs::path tree = makeSampleTree(folder.path());
    writeFile(folder / "suelto.txt", sampleBytes(70000, 3, true));
    // Longer than the 100 bytes a plain ustar name holds.
    writeFile(tree / (std::string(60, 'n') + "/" + std::string(80, 'm') + ".txt"), "largo");
    fs::path destination = folder / ("nuevo." + param.extension);
    Progress progress;

    fs::path result = TarArchiveEngine().create({tree, folder / "suelto.txt"}, destination,
                                                progress, param.compression, 6, false);

    EXPECT_EQ(result, destination);
    EXPECT_TRUE(progress.isFinished());
    for (const std::string tool : {"tar", "bsdtar"}) {
        fs::create_directory(folder / tool);
        runChecked(tool + " -xf " + shellQuote(destination.string()) + " -C " + tool,
                   folder.path());
        runChecked("diff -r fotos " + tool + "/fotos && cmp suelto.txt " + tool + "/suelto.txt",
                   folder.path());
    }
    if (!param.decompressor.empty())
        runChecked(param.decompressor + " " + shellQuote(destination.string()) + " >/dev/null");
    EXPECT_EQ(
        runChecked("tar -tvf " + shellQuote(destination.string()) + " fotos/run.sh | cut -c1-10"),
        "-rwxr-xr-x\n");
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
}

// The one source alone in the compressor's own format, with no TAR around it.
TEST(TarSingleFileCreation, SingleFileIsTheSourceCompressedByItself) {
    for (const CompressionCase& param : compressions) {
        if (param.compression == TarCompression::none)
            continue;
        SCOPED_TRACE(param.extension);
        TemporaryDirectory folder;
        std::string bytes = sampleBytes(300000, 9, true);
        writeFile(folder / "notas.txt", bytes);
        fs::path destination = folder / ("notas.txt" + param.extension.substr(3));
        Progress progress;

        TarArchiveEngine().create({folder / "notas.txt"}, destination, progress, param.compression,
                                  9, true);

        EXPECT_EQ(runChecked(param.decompressor + " " + shellQuote(destination.string())), bytes);
        ArchiveSummary summary = TarArchiveEngine().list(destination, progress);
        EXPECT_TRUE(summary.singleFile);
        ASSERT_EQ(summary.entries.size(), 1u);
        EXPECT_EQ(summary.entries[0].size, static_cast<std::int64_t>(bytes.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Compressions, TarCreation, ::testing::ValuesIn(compressions),
                         [](const auto& info) {
                             return rawValue(info.param.compression) == "Sin comprimir"
                                        ? std::string("none")
                                        : rawValue(info.param.compression);
                         });

// What each compressor's header or listing tells of the level it was given.
std::string levelMark(TarCompression compression, const fs::path& archive) {
    const std::string bytes = readFile(archive);
    switch (compression) {
    case TarCompression::gzip:
        // The extra flags byte: 4 for the fastest level, 2 for the best, 0 between.
        return "gzip extra flags " + std::to_string(static_cast<unsigned char>(bytes.at(8)));
    case TarCompression::bzip2:
        return bytes.substr(0, 4);
    case TarCompression::xz: {
        const std::string listing = runChecked("xz -lvv " + shellQuote(archive.string()));
        const std::size_t dictionary = listing.find("dict=");
        // One stream of one block, with CRC64 checks, as xz on one thread writes it.
        EXPECT_NE(listing.find("Blocks:            1"), std::string::npos) << listing;
        EXPECT_NE(listing.find("Check:             CRC64"), std::string::npos) << listing;
        return dictionary == std::string::npos
                   ? listing
                   : listing.substr(dictionary,
                                    listing.find_first_of(" \n", dictionary) - dictionary);
    }
    case TarCompression::none:
    case TarCompression::zstd:
        break;
    }
    return "";
}

// The level the user sets reaches each compressor as its own level; the archive passes the
// compressor's own test and GNU tar unpacks exactly the sources from it.
TEST(TarCreationLevels, EachLevelIsTheCompressorsOwnAndGnuTarUnpacksTheSources) {
    struct Case {
        TarCompression compression;
        int level;
        std::string extension;
        std::string tester;
        std::string mark;
    };
    const Case cases[] = {
        {TarCompression::gzip, 1, "tar.gz", "gzip", "gzip extra flags 4"},
        {TarCompression::gzip, 5, "tar.gz", "gzip", "gzip extra flags 0"},
        {TarCompression::gzip, 9, "tar.gz", "gzip", "gzip extra flags 2"},
        {TarCompression::bzip2, 1, "tar.bz2", "bzip2", "BZh1"},
        {TarCompression::bzip2, 5, "tar.bz2", "bzip2", "BZh5"},
        {TarCompression::bzip2, 9, "tar.bz2", "bzip2", "BZh9"},
        {TarCompression::xz, 1, "tar.xz", "xz", "dict=1MiB"},
        {TarCompression::xz, 5, "tar.xz", "xz", "dict=8MiB"},
        {TarCompression::xz, 9, "tar.xz", "xz", "dict=64MiB"},
    };
    TemporaryDirectory folder;
    makeSampleTree(folder.path());
    writeFile(folder / "fotos" / "grande.bin",
              sampleBytes(600000, 4, true) + sampleBytes(300000, 5, false));
    for (const Case& item : cases) {
        ASSERT_TRUE(testing::toolInstalled(item.tester));
        SCOPED_TRACE(item.extension + " level " + std::to_string(item.level));
        const fs::path destination = folder / ("nuevo." + item.extension);
        Progress progress;
        TarArchiveEngine().create({folder / "fotos"}, destination, progress, item.compression,
                                  item.level, false);
        runChecked(item.tester + " -t " + shellQuote(destination.string()));
        EXPECT_EQ(levelMark(item.compression, destination), item.mark);
        fs::create_directory(folder / "gnu");
        runChecked("tar -xf " + shellQuote(destination.string()) + " -C gnu", folder.path());
        runChecked("diff -r fotos gnu/fotos", folder.path());
        fs::remove_all(folder / "gnu");
        fs::remove(destination);
    }
}

// Each refusal comes before anything is written at the destination.
TEST(TarCreationRefusals, BadRequestsFailWithTheirOwnFailureAndWriteNothing) {
    TemporaryDirectory folder;
    fs::path tree = makeSampleTree(folder.path());
    writeFile(folder / "uno.txt", "1");
    writeFile(folder / "dos.txt", "2");
    const fs::path out = folder / "x.tar.gz";
    const ArchiveFailure unsupported = ArchiveFailure::unsupportedTar("");
    struct Case {
        std::string name;
        std::vector<fs::path> sources;
        fs::path destination;
        TarCompression compression;
        int level;
        bool single;
        ArchiveFailure expected;
    };
    const std::vector<Case> cases = {
        {"no sources", {}, out, TarCompression::gzip, 6, false, ArchiveFailure::emptySelection()},
        {"level 0", {tree}, out, TarCompression::gzip, 0, false, unsupported},
        {"level 10", {tree}, out, TarCompression::gzip, 10, false, unsupported},
        {"single of two",
         {folder / "uno.txt", folder / "dos.txt"},
         out,
         TarCompression::gzip,
         6,
         true,
         unsupported},
        {"single without compression",
         {folder / "uno.txt"},
         out,
         TarCompression::none,
         6,
         true,
         unsupported},
        {"single folder", {tree}, out, TarCompression::gzip, 6, true, unsupported},
        {"inside a source",
         {tree},
         tree / "docs" / "x.tar",
         TarCompression::none,
         6,
         false,
         ArchiveFailure::tarFailure(
             "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.")},
        {"same name twice",
         {folder / "uno.txt", folder / "fotos" / "docs" / ".." / ".." / "uno.txt"},
         out,
         TarCompression::gzip,
         6,
         false,
         ArchiveFailure::duplicate("uno.txt")},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        Progress progress;
        expectFailure(
            [&] {
                TarArchiveEngine().create(item.sources, item.destination, progress,
                                          item.compression, item.level, item.single);
            },
            item.expected);
        EXPECT_FALSE(fs::exists(item.destination));
    }
    EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
    EXPECT_EQ(countNamesStartingWith(tree / "docs", ".vexa-replace-"), 0);
}

TEST(TarCreationPlacement, AnExistingDestinationIsReplaced) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "nuevo");
    writeFile(folder / "x.tar", "lo que había");
    Progress progress;
    TarArchiveEngine().create({folder / "a.txt"}, folder / "x.tar", progress, TarCompression::none,
                              1, false);
    EXPECT_EQ(runChecked("tar -xOf x.tar a.txt", folder.path()), "nuevo");
}

// A creation stopped halfway leaves neither the archive nor its work folder behind.
TEST(TarCreationCancellation, CancelledCreationLeavesNothing) {
    TemporaryDirectory folder;
    writeFile(folder / "grande.bin", sampleBytes(4 << 20, 5, false));
    for (const auto& [compression, extension] :
         {std::pair{TarCompression::xz, "xz"}, std::pair{TarCompression::gzip, "gz"},
          std::pair{TarCompression::bzip2, "bz2"}}) {
        const fs::path destination = folder / (std::string("x.tar.") + extension);
        for (std::int64_t threshold : {std::int64_t{1} << 20, std::int64_t{6} << 20}) {
            SCOPED_TRACE(std::string(extension) + " " + std::to_string(threshold));
            Progress progress;
            {
                CancelWhenPast cancel(progress, threshold);
                EXPECT_THROW(TarArchiveEngine().create({folder / "grande.bin"}, destination,
                                                       progress, compression, 1, false),
                             CancellationError);
            }
            EXPECT_FALSE(fs::exists(destination));
            EXPECT_EQ(countNamesStartingWith(folder.path(), ".vexa-replace-"), 0);
        }
    }
}

} // namespace
} // namespace vexa
