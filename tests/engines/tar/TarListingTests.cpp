#include "TarFixtures.h"
#include "engines/tar/ListingCache.h"
#include "engines/tar/TarArchiveEngine.h"
#include "platform/WorkerPool.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;

const ArchiveFailure damaged = ArchiveFailure::tarFailure("el archivo está dañado o incompleto.");

// The sample tree as any tool should list it, sorted by path.
std::vector<ArchiveItem> sampleListing() {
    return {
        {"a.txt", 13, 13, false, false},
        {"docs/", 0, 0, true, false},
        {"docs/b.txt", 5000, 5000, false, false},
        {"docs/sub/", 0, 0, true, false},
        {"docs/sub/c.bin", 100000, 100000, false, false},
        {"docsx.txt", 2, 2, false, false},
        {"empty-dir/", 0, 0, true, false},
        {"run.sh", 20, 20, false, false},
        {"vacío.txt", 0, 0, false, false},
    };
}

std::vector<ArchiveItem> sorted(std::vector<ArchiveItem> items) {
    std::sort(items.begin(), items.end(),
              [](const ArchiveItem& a, const ArchiveItem& b) { return a.path < b.path; });
    return items;
}

struct Maker {
    const char* archive;
    const char* command; // run inside the sample tree; writes ../<archive>
    std::optional<TarCompression> compression;
};

const Maker makers[] = {
    {"gnu.tar", "tar -cf ../gnu.tar *", TarCompression::none},
    {"gnu.tar.gz", "tar -czf ../gnu.tar.gz *", TarCompression::gzip},
    {"gnu.tar.bz2", "tar -cjf ../gnu.tar.bz2 *", TarCompression::bzip2},
    {"gnu.tar.xz", "tar -cJf ../gnu.tar.xz *", TarCompression::xz},
    {"gnu.tar.zst", "tar --zstd -cf ../gnu.tar.zst *", TarCompression::zstd},
    {"gnu-dot.tgz", "tar -czf ../gnu-dot.tgz .", TarCompression::gzip},
    {"bsd.tar", "bsdtar -cf ../bsd.tar *", TarCompression::none},
    {"bsd.tgz", "bsdtar -czf ../bsd.tgz *", TarCompression::gzip},
    {"bsd.tbz2", "bsdtar -cjf ../bsd.tbz2 *", TarCompression::bzip2},
    {"bsd.txz", "bsdtar -cJf ../bsd.txz *", TarCompression::xz},
    {"bsd.tzst", "bsdtar --zstd -cf ../bsd.tzst *", TarCompression::zstd},
    {"gnu-ustar.tar", "tar --format=ustar -cf ../gnu-ustar.tar *", TarCompression::none},
    {"zstd-multiframe.tar.zst",
     "tar -cf ../whole.tar * && head -c 10000 ../whole.tar | zstd -q > ../zstd-multiframe.tar.zst "
     "&& tail -c +10001 ../whole.tar | zstd -q >> ../zstd-multiframe.tar.zst",
     TarCompression::zstd},
    // Named for what it holds, not for what the name says: the content decides the decoder.
    {"misnamed.tar.gz", "tar -cJf ../misnamed.tar.gz *", TarCompression::gzip},
    // Blocks decoded side by side, whether or not they begin on record boundaries.
    {"blocks.tar.xz", "tar -cf - * | xz -T2 --block-size=16384 > ../blocks.tar.xz",
     TarCompression::xz},
    {"odd-blocks.tar.xz", "tar -cf - * | xz -T2 --block-size=20001 > ../odd-blocks.tar.xz",
     TarCompression::xz},
};

class TarListingTest : public ::testing::TestWithParam<Maker> {};

TEST_P(TarListingTest, ListsWhatTheToolArchived) {
    TemporaryDirectory dir;
    fs::path tree = makeSampleTree(dir.path());
    runChecked(GetParam().command, tree);
    fs::path archive = dir / GetParam().archive;
    Progress progress;
    ArchiveSummary summary = TarArchiveEngine().list(archive, progress);

    EXPECT_EQ(sorted(summary.entries), sampleListing());
    EXPECT_EQ(summary.url, archive);
    EXPECT_EQ(summary.format, ArchiveFormat::tar);
    EXPECT_EQ(summary.compression, GetParam().compression);
    EXPECT_FALSE(summary.singleFile);
    EXPECT_EQ(summary.volumes, std::vector<fs::path>{archive});
    EXPECT_EQ(progress.completedUnitCount(), static_cast<std::int64_t>(fs::file_size(archive)));
}

INSTANTIATE_TEST_SUITE_P(Tools, TarListingTest, ::testing::ValuesIn(makers), [](const auto& info) {
    std::string name = info.param.archive;
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

struct SingleMaker {
    const char* file;
    const char* command;
    TarCompression compression;
};

const SingleMaker singleMakers[] = {
    {"notas.txt.gz", "gzip -k notas.txt", TarCompression::gzip},
    {"notas.txt.bz2", "bzip2 -k notas.txt", TarCompression::bzip2},
    {"notas.txt.xz", "xz -k notas.txt", TarCompression::xz},
    {"notas.txt.zst", "zstd -q notas.txt", TarCompression::zstd},
    {"notas.txt.gzip", "gzip -c notas.txt > notas.txt.gzip", TarCompression::gzip},
};

TEST(TarSingleFileListingTest, ListsOneEntryNamedAfterTheFile) {
    for (const SingleMaker& maker : singleMakers) {
        SCOPED_TRACE(maker.file);
        TemporaryDirectory dir;
        writeFile(dir / "notas.txt", sampleBytes(300'000, 11, true));
        runChecked(maker.command, dir.path());
        fs::path file = dir / maker.file;
        Progress progress;
        ArchiveSummary summary = TarArchiveEngine().list(file, progress);
        std::int64_t stored = static_cast<std::int64_t>(fs::file_size(file));
        std::vector<ArchiveItem> expected{{"notas.txt", 300'000, stored, false, false}};
        EXPECT_EQ(summary.entries, expected);
        EXPECT_TRUE(summary.singleFile);
        EXPECT_EQ(summary.compression, maker.compression);
        EXPECT_EQ(summary.format, ArchiveFormat::tar);
    }
}

TEST(TarSingleFileListingTest, MultiMemberGzipCountsEveryMember) {
    TemporaryDirectory dir;
    writeFile(dir / "a", sampleBytes(40'000, 1, true));
    writeFile(dir / "b", sampleBytes(60'000, 2, false));
    runChecked("gzip a b && cat a.gz b.gz > m.log.gz", dir.path());
    Progress progress;
    ArchiveSummary summary = TarArchiveEngine().list(dir / "m.log.gz", progress);
    ASSERT_EQ(summary.entries.size(), 1u);
    EXPECT_EQ(summary.entries[0].path, "m.log");
    EXPECT_EQ(summary.entries[0].size, 100'000);
}

TEST(TarSingleFileListingTest, RefusesAStreamOfAnotherKind) {
    TemporaryDirectory dir;
    writeFile(dir / "plano.txt.xz", "not compressed at all\n");
    writeFile(dir / "plano.txt.bz2", "");
    Progress progress;
    const ArchiveFailure notCompressed =
        ArchiveFailure::tarFailure("el archivo no tiene un formato compatible.");
    expectFailure([&] { TarArchiveEngine().list(dir / "plano.txt.xz", progress); }, notCompressed);
    expectFailure([&] { TarArchiveEngine().list(dir / "plano.txt.bz2", progress); }, damaged);
}

struct Hostile {
    const char* what;
    const char* script; // Python tarfile, see pythonTar
    ArchiveFailure expected;
};

TEST(TarListingRefusalTest, RefusesUnsafeAndSpecialEntries) {
    const Hostile cases[] = {
        {"parent folder", "add_file('../x')", ArchiveFailure::unsafePath("../x")},
        {"absolute path", "add_file('/etc/x')", ArchiveFailure::unsafePath("/etc/x")},
        {"hidden parent", "add_file('a/../../x')", ArchiveFailure::unsafePath("a/../../x")},
        {"backslash", "add_file('a\\\\b')", ArchiveFailure::unsafePath("a\\b")},
        {"dot inside", "add_file('./../x')", ArchiveFailure::unsafePath("../x")},
        {"symbolic link",
         "add_file('ok.txt')\n"
         "i = tarfile.TarInfo('enlace'); i.type = tarfile.SYMTYPE; i.linkname = '/etc/passwd'\n"
         "add(i)",
         ArchiveFailure::symbolicLink("enlace")},
        // A hard link stands only for an earlier regular file of the archive.
        {"hard link to a folder",
         "i = tarfile.TarInfo('carpeta'); i.type = tarfile.DIRTYPE\nadd(i)\n"
         "i = tarfile.TarInfo('duro'); i.type = tarfile.LNKTYPE; i.linkname = 'carpeta'\n"
         "add(i)",
         ArchiveFailure::unsupportedTar("duro")},
        {"hard link to a later file",
         "i = tarfile.TarInfo('duro'); i.type = tarfile.LNKTYPE; i.linkname = 'ok.txt'\n"
         "add(i)\nadd_file('ok.txt')",
         ArchiveFailure::unsupportedTar("duro")},
        {"hard link to nothing",
         "add_file('ok.txt')\n"
         "i = tarfile.TarInfo('duro'); i.type = tarfile.LNKTYPE; i.linkname = '/etc/passwd'\n"
         "add(i)",
         ArchiveFailure::unsupportedTar("duro")},
        {"hard link to a symbolic link",
         "i = tarfile.TarInfo('enlace'); i.type = tarfile.SYMTYPE; i.linkname = 'x'\nadd(i)\n"
         "i = tarfile.TarInfo('duro'); i.type = tarfile.LNKTYPE; i.linkname = 'enlace'\n"
         "add(i)",
         ArchiveFailure::symbolicLink("enlace")},
        {"fifo", "i = tarfile.TarInfo('tuberia'); i.type = tarfile.FIFOTYPE\nadd(i)",
         ArchiveFailure::unsupportedTar("tuberia")},
        {"character device",
         "i = tarfile.TarInfo('dev/null'); i.type = tarfile.CHRTYPE; i.devmajor = 1; "
         "i.devminor = 3\nadd(i)",
         ArchiveFailure::unsupportedTar("dev/null")},
        {"same name twice", "add_file('a.txt')\nadd_file('A.txt')",
         ArchiveFailure::duplicate("A.txt")},
        {"file above a file", "add_file('a')\nadd_file('a/b')", ArchiveFailure::duplicate("a/b")},
    };
    TemporaryDirectory dir;
    std::vector<std::pair<std::string, std::string>> scripts;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        scripts.emplace_back("hostil" + std::to_string(i) + ".tar", cases[i].script);
    testing::tar::pythonTars(dir.path(), scripts);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        Progress progress;
        expectFailure([&] { TarArchiveEngine().list(dir / scripts[i].first, progress); },
                      cases[i].expected);
    }
}

TEST(TarListingRefusalTest, SymbolicLinkFromGnuTarIsRefused) {
    TemporaryDirectory dir;
    fs::create_directory(dir / "src");
    writeFile(dir / "src/real.txt", "x");
    fs::create_symlink("real.txt", dir / "src/enlace");
    runChecked("tar -czf ../l.tar.gz real.txt enlace", dir / "src");
    Progress progress;
    expectFailure([&] { TarArchiveEngine().list(dir / "l.tar.gz", progress); },
                  ArchiveFailure::symbolicLink("enlace"));
}

// Headers that are not what they seem, for a listing that decodes xz blocks side by side: long
// names in extended headers (some running on into the next block), a TAR file stored inside
// (its headers look like the outer ones), and random data. Each lists as the plain TAR does,
// however many cores the worker pool has to lend.
TEST(TarListingTest, XzBlocksListAsThePlainArchive) {
    TemporaryDirectory dir;
    std::string longName = std::string(150, 'n') + "/" + std::string(120, 'm') + ".txt";
    pythonTars(dir.path(), {{"inner.tar", "add_file('" + longName +
                                              "', b'a' * 3000)\n"
                                              "add_file('corto.txt', b'b' * 700)"}});
    std::string inner = testing::readFile(dir / "inner.tar");
    std::string body;
    for (int i = 0; i < 40; ++i)
        body += "add_file('carpeta/" + std::string(100 + i, 'x') + std::to_string(i) +
                "', b'z' * " + std::to_string(i * 397) + ")\n";
    body += "add_file('dentro.tar', open('inner.tar', 'rb').read())\n"
            "add_file('azar.bin', bytes(range(256)) * 2000)\n"
            "add_file('" +
            longName + "', b'c' * 5)";
    pythonTars(dir.path(), {{"x.tar", body}});
    runChecked("tar --format=gnu -cf gnu.tar x.tar inner.tar", dir.path());
    Progress progress;
    const std::pair<const char*, std::pair<std::string, std::string>> plains[] = {
        {"x.tar", {longName, "ccccc"}}, {"gnu.tar", {"inner.tar", inner}}};
    for (const auto& [plain, sample] : plains) {
        std::vector<ArchiveItem> expected = TarArchiveEngine().list(dir / plain, progress).entries;
        for (const char* size : {"1024", "4096", "16384"}) {
            SCOPED_TRACE(std::string(plain) + " " + size);
            runChecked(std::string("xz -T2 --block-size=") + size + " -c " + plain +
                           " > blocks.tar.xz",
                       dir.path());
            EXPECT_EQ(TarArchiveEngine().list(dir / "blocks.tar.xz", progress).entries, expected);
            {
                // With every core of the process's pool lent elsewhere, one decoder lists it.
                platform::WorkerPool& pool = platform::WorkerPool::process();
                platform::WorkerPool::Lease all =
                    pool.borrow(pool.cores(), platform::WorkerPool::Asker::waits);
                EXPECT_EQ(TarArchiveEngine().list(dir / "blocks.tar.xz", progress).entries,
                          expected);
            }
            fs::create_directory(dir / "out");
            fs::path result =
                TarArchiveEngine().extract(dir / "blocks.tar.xz", {}, dir / "out", progress);
            EXPECT_EQ(testing::readFile(result / sample.first), sample.second);
            fs::remove_all(dir / "out");
        }
    }
}

// Blocks of many decoder chunks, whose headers the reader goes through while the rest of each
// block is decoded: a long name's extra header and its data, one record each, straddle some of
// the chunks' ends (the only block end lies inside the large file at the end). The archive
// lists as the plain TAR does, by its headers alone.
TEST(TarListingTest, XzBlocksAreListedWhileTheyAreDecoded) {
    TemporaryDirectory dir;
    const std::string folder = std::string(90, 'c') + "/";
    fs::create_directories(dir / "t" / folder);
    for (int i = 0; i < 2000; ++i)
        testing::writeFile(dir / "t" / folder / ("archivo-" + std::to_string(1000 + i) + ".txt"),
                           sampleBytes(100 + (i * 37) % 400, 50 + i, true));
    testing::writeFile(dir / "t/zz-grande.txt", sampleBytes(4 << 20, 49, true));
    runChecked("tar --format=gnu --sort=name -cf x.tar -C t . && "
               "xz -1 -T2 --block-size=6MiB -c x.tar > x.tar.xz",
               dir.path());
    Progress progress;
    std::vector<ArchiveItem> expected = TarArchiveEngine().list(dir / "x.tar", progress).entries;
    ASSERT_GE(expected.size(), 2001u);
    EXPECT_EQ(TarArchiveEngine().list(dir / "x.tar.xz", progress).entries, expected);
    auto listing = vexa::tar::rememberedListing(dir / "x.tar.xz");
    ASSERT_TRUE(listing);
    // A listing that went back to a whole reading keeps no blocks.
    EXPECT_TRUE(vexa::tar::rememberedXzBlocks(*listing));
}

TEST(TarListingDamageTest, EveryTruncationIsRefusedOrListsLessNeverCrashes) {
    TemporaryDirectory dir;
    fs::path tree = makeSampleTree(dir.path());
    for (const char* command : {"tar -cf ../x.tar *", "tar -czf ../x.tar.gz *",
                                "tar --zstd -cf ../x.tar.zst *", "tar -cJf ../x.tar.xz *"}) {
        runChecked(command, tree);
    }
    for (const char* name : {"x.tar", "x.tar.gz", "x.tar.zst", "x.tar.xz"}) {
        SCOPED_TRACE(name);
        std::string whole = testing::readFile(dir / name);
        std::size_t step = std::max<std::size_t>(1, whole.size() / 40);
        for (std::size_t length = 0; length < whole.size(); length += step) {
            SCOPED_TRACE(length);
            fs::path cut = dir / (std::string("cut-") + name);
            writeFile(cut, whole.substr(0, length));
            Progress progress;
            try {
                ArchiveSummary summary = TarArchiveEngine().list(cut, progress);
                // Only a plain TAR cut exactly between members may read as a shorter archive.
                EXPECT_EQ(std::string(name), "x.tar");
                EXPECT_LT(summary.entries.size(), sampleListing().size());
            } catch (const ArchiveFailure& failure) {
                EXPECT_EQ(failure.kind(), ArchiveFailure::Case::tarFailure) << failure.message();
            }
        }
    }
}

TEST(TarListingDamageTest, DamagedCompressedDataIsATarFailure) {
    TemporaryDirectory dir;
    fs::path tree = makeSampleTree(dir.path());
    runChecked("tar -czf ../x.tar.gz * && tar --zstd -cf ../x.tar.zst * && tar -cjf ../x.tar.bz2 * "
               "&& tar -cJf ../x.tar.xz * && tar -cf - * | xz --block-size=16384 > ../xb.tar.xz",
               tree);
    for (const char* name : {"x.tar.gz", "x.tar.zst", "x.tar.bz2", "x.tar.xz", "xb.tar.xz"}) {
        SCOPED_TRACE(name);
        std::string bytes = testing::readFile(dir / name);
        bytes[bytes.size() / 2] ^= 0x40;
        writeFile(dir / name, bytes);
        Progress progress;
        expectFailure([&] { TarArchiveEngine().list(dir / name, progress); }, damaged);
    }
}

// What follows an archive's end blocks (noise, or a second archive appended) is not read, by
// GNU tar, bsdtar and tarfile alike; a compressed stream is still checked to its end.
TEST(TarListingTest, BytesAfterTheEndBlocksAreIgnoredAsTheToolsDo) {
    const std::pair<const char*, const char*> cases[] = {
        {"gnu.tar", "tar -cf ../gnu.tar * && cat ../noise >> ../gnu.tar"},
        {"bsd.tar", "bsdtar -cf ../bsd.tar * && cat ../noise >> ../bsd.tar"},
        {"two.tar", "tar -cf ../two.tar * && tar -cf - a.txt | tail -c +513 >> ../two.tar && "
                    "tar -cf - run.sh >> ../two.tar"},
        {"gnu.tar.gz", "(tar -cf - *; cat ../noise) | gzip > ../gnu.tar.gz"},
        {"bsd.tar.bz2", "(bsdtar -cf - *; cat ../noise) | bzip2 > ../bsd.tar.bz2"},
        {"gnu.tar.xz", "(tar -cf - *; cat ../noise) | xz > ../gnu.tar.xz"},
        {"bsd.tar.zst", "(bsdtar -cf - *; cat ../noise) | zstd -q > ../bsd.tar.zst"},
    };
    TemporaryDirectory dir;
    fs::path tree = makeSampleTree(dir.path());
    // More than the decoders read ahead of the reader.
    writeFile(dir / "noise", sampleBytes(3 << 20, 7, false));
    for (const auto& [name, command] : cases) {
        SCOPED_TRACE(name);
        runChecked(command, tree);
        fs::path archive = dir / name;
        Progress progress;
        EXPECT_EQ(sorted(TarArchiveEngine().list(archive, progress).entries), sampleListing());
        fs::create_directory(dir / "tool");
        runChecked("tar -xf " + shellQuote(archive.string()) + " -C tool", dir.path());
        fs::create_directory(dir / "out");
        fs::path result = TarArchiveEngine().extract(archive, {}, dir / "out", progress);
        EXPECT_EQ(treeContents(result), treeContents(dir / "tool"));
        fs::remove_all(dir / "tool");
        fs::remove_all(dir / "out");
        if (std::string(name).find(".tar.") == std::string::npos)
            continue;
        // The stream's own check at its very end still counts.
        std::string bytes = testing::readFile(archive);
        bytes[bytes.size() - (std::string(name).ends_with(".bz2") ? 6 : 5)] ^= 0x10;
        writeFile(archive, bytes);
        expectFailure([&] { TarArchiveEngine().list(archive, progress); }, damaged);
    }
}

TEST(TarListingDamageTest, SomethingThatIsNoTarIsRefused) {
    TemporaryDirectory dir;
    writeFile(dir / "texto.tar", sampleBytes(20'000, 9, true));
    Progress progress;
    expectFailure([&] { TarArchiveEngine().list(dir / "texto.tar", progress); },
                  ArchiveFailure::tarFailure("el archivo no tiene un formato compatible."));
}

TEST(TarListingTest, EmptyArchivesListNothing) {
    TemporaryDirectory dir;
    fs::create_directory(dir / "nada");
    runChecked("tar -cf vacio.tar -T /dev/null && tar -czf vacio.tar.gz -T /dev/null", dir.path());
    writeFile(dir / "cero.tar", "");
    for (const char* name : {"vacio.tar", "vacio.tar.gz", "cero.tar"}) {
        SCOPED_TRACE(name);
        Progress progress;
        EXPECT_TRUE(TarArchiveEngine().list(dir / name, progress).entries.empty());
    }
}

TEST(TarListingTest, KeepsNonAsciiNamesAsUtf8) {
    TemporaryDirectory dir;
    fs::create_directory(dir / "src");
    writeFile(dir / "src/canción ñ.txt", "la");
    runChecked("tar --format=gnu -cf ../gnu.tar * && tar --format=pax -cf ../pax.tar *",
               dir / "src");
    for (const char* name : {"gnu.tar", "pax.tar"}) {
        SCOPED_TRACE(name);
        Progress progress;
        ArchiveSummary summary = TarArchiveEngine().list(dir / name, progress);
        ASSERT_EQ(summary.entries.size(), 1u);
        EXPECT_EQ(summary.entries[0].path, "canción ñ.txt");
    }
}

TEST(TarListingTest, MissingArchiveOrAFolderIsAPlatformError) {
    TemporaryDirectory dir;
    Progress progress;
    EXPECT_THROW(TarArchiveEngine().list(dir / "nada.tar.gz", progress), PlatformError);
    EXPECT_THROW(TarArchiveEngine().list(dir.path(), progress), PlatformError);
}

TEST(TarListingTest, CancelledListingStops) {
    TemporaryDirectory dir;
    fs::path tree = makeSampleTree(dir.path());
    runChecked("tar -czf ../x.tar.gz *", tree);
    writeFile(dir / "n.txt.gz", "");
    runChecked("gzip -c fotos/docs/b.txt > n.txt.gz", dir.path());
    for (const char* name : {"x.tar.gz", "n.txt.gz"}) {
        Progress progress;
        progress.cancel();
        EXPECT_THROW(TarArchiveEngine().list(dir / name, progress), CancellationError);
    }
}

} // namespace
} // namespace vexa
