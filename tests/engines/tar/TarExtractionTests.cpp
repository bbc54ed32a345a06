#include "TarFixtures.h"
#include "engines/tar/ExtractionTree.h"
#include "engines/tar/ListingCache.h"
#include "engines/tar/PlacedExtraction.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/tar/XzBlocks.h"
#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::tar;

const char* const sampleFiles[] = {"a.txt",          "run.sh",    "docs/b.txt",
                                   "docs/sub/c.bin", "docsx.txt", "vacío.txt"};

mode_t modeOf(const fs::path& location) {
    struct stat status {};
    EXPECT_EQ(::lstat(location.c_str(), &status), 0) << location;
    return status.st_mode & 07777;
}

time_t modificationTimeOf(const fs::path& location) {
    struct stat status {};
    EXPECT_EQ(::lstat(location.c_str(), &status), 0) << location;
    return status.st_mtime;
}

// The paths below `root`, relative, folders ending in "/".
std::set<std::string> treeOf(const fs::path& root) {
    std::set<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(item.path(), root).string();
        names.insert(item.is_directory() ? name + "/" : name);
    }
    return names;
}

class TarExtractionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tree = makeSampleTree(dir.path());
        fs::create_directory(dir / "out");
    }

    fs::path make(const std::string& command, const std::string& name) {
        runChecked(command, tree);
        return dir / name;
    }

    TemporaryDirectory dir;
    fs::path tree;
    fs::path out = dir / "out";
    Progress progress;
};

TEST_F(TarExtractionTest, WritesEveryEntryWithItsModeAndTime) {
    // xz files of several blocks are written block by block, whatever the blocks' sizes.
    for (const char* command : {"tar -czf ../x.tar.gz *", "bsdtar --zstd -cf ../x.tar.gz *",
                                "tar -cf - * | xz -T2 --block-size=16384 > ../x.tar.gz",
                                "tar -cf - * | xz -T2 --block-size=20001 > ../x.tar.gz"}) {
        SCOPED_TRACE(command);
        fs::path archive = make(std::string(command), "x.tar.gz");
        fs::path result = TarArchiveEngine().extract(archive, {}, out, progress);
        EXPECT_EQ(result, out / "x");
        for (const char* name : sampleFiles)
            EXPECT_EQ(readFile(result / name), sampleContent(name)) << name;
        EXPECT_TRUE(fs::is_directory(result / "empty-dir"));
        EXPECT_EQ(modeOf(result / "run.sh"), 0755u);
        EXPECT_EQ(modeOf(result / "a.txt"), 0644u);
        EXPECT_EQ(modificationTimeOf(result / "a.txt"), 1000000000);
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
        EXPECT_EQ(progress.totalUnitCount(), 13 + 20 + 5000 + 100000 + 2 + 1 + 3 /* folders */);
        fs::remove_all(result);
        fs::remove(archive);
    }
    EXPECT_EQ(countNamesStartingWith(out, ".vexa-extract-"), 0);
}

TEST_F(TarExtractionTest, AnArchiveWrittenAgainAfterItsListingIsExtractedAsItIsNow) {
    fs::path archive = make("tar -czf ../x.tar.gz *", "x.tar.gz");
    EXPECT_EQ(TarArchiveEngine().list(archive, progress).entries.size(), 9u);
    runChecked("mkdir otro && echo nuevo > otro/a.txt && tar -czf x.tar.gz -C otro a.txt",
               dir.path());
    fs::path result = TarArchiveEngine().extract(archive, {}, out, progress);
    EXPECT_EQ(treeOf(result), std::set<std::string>{"a.txt"});
    EXPECT_EQ(readFile(result / "a.txt"), "nuevo\n");
}

TEST_F(TarExtractionTest, AnEntryLargerThanTheWritersBudgetIsWrittenWhileItIsRead) {
    runChecked("yes 0123456789abcdef | head -c 40M > grande.txt && tar --zstd -cf ../g.tar.zst "
               "grande.txt a.txt && rm grande.txt",
               tree);
    fs::path result = TarArchiveEngine().extract(dir / "g.tar.zst", {}, out, progress);
    EXPECT_EQ(fs::file_size(result / "grande.txt"), 40u << 20);
    runChecked("yes 0123456789abcdef | head -c 40M | cmp - " +
               shellQuote((result / "grande.txt").string()));
    EXPECT_EQ(readFile(result / "a.txt"), sampleContent("a.txt"));
}

TEST_F(TarExtractionTest, TakesTheFirstFreeName) {
    fs::path archive = make("tar -czf ../fotos.tar.gz *", "fotos.tar.gz");
    fs::create_directory(out / "fotos");
    writeFile(out / "fotos 2", "a file takes the name too");
    fs::path result = TarArchiveEngine().extract(archive, {}, out, progress);
    EXPECT_EQ(result, out / "fotos 3");
    EXPECT_TRUE(fs::is_empty(out / "fotos"));
    EXPECT_EQ(readFile(out / "fotos 2"), "a file takes the name too");
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(modeOf(result), 0777u & ~mask) << "once in place, the folder of a new folder";
}

TEST_F(TarExtractionTest, ChosenPathsBringTheirFolders) {
    fs::path archive = make("tar -cjf ../x.tar.bz2 *", "x.tar.bz2");
    struct Case {
        std::set<std::string> chosen;
        std::set<std::string> written;
    };
    const Case cases[] = {
        {{"docs"}, {"docs/", "docs/b.txt", "docs/sub/", "docs/sub/c.bin"}},
        {{"docs/sub/"}, {"docs/", "docs/sub/", "docs/sub/c.bin"}},
        {{"a.txt", "docsx.txt"}, {"a.txt", "docsx.txt"}},
        {{"vacío.txt"}, {"vacío.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.chosen.begin());
        fs::path result = TarArchiveEngine().extract(archive, c.chosen, out, progress);
        EXPECT_EQ(treeOf(result), c.written);
        fs::remove_all(result);
    }
    expectFailure([&] { TarArchiveEngine().extract(archive, {"nada"}, out, progress); },
                  ArchiveFailure::emptySelection());
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(TarExtractionTest, FilesBeforeTheirFolderEntryAndImplicitFolders) {
    pythonTar(dir / "orden.tar", "add_file('a/b/c.txt', b'abc')\n"
                                 "i = tarfile.TarInfo('a'); i.type = tarfile.DIRTYPE; add(i)\n"
                                 "add_file('z/y.txt', b'zy')");
    fs::path result = TarArchiveEngine().extract(dir / "orden.tar", {}, out, progress);
    EXPECT_EQ(treeOf(result), (std::set<std::string>{"a/", "a/b/", "a/b/c.txt", "z/", "z/y.txt"}));
    EXPECT_EQ(readFile(result / "a/b/c.txt"), "abc");
}

TEST_F(TarExtractionTest, RefusedArchivesWriteNothing) {
    testing::tar::pythonTars(
        dir.path(),
        {{"hostil.tar", "add_file('ok.txt')\nadd_file('../fuera.txt')"},
         {"enlace.tar",
          "i = tarfile.TarInfo('e'); i.type = tarfile.SYMTYPE; i.linkname = '..'\nadd(i)\n"
          "add_file('e/x.txt')"}});
    for (const char* name : {"hostil.tar", "enlace.tar"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(TarArchiveEngine().extract(dir / name, {}, out, progress), ArchiveFailure);
        EXPECT_TRUE(fs::is_empty(out));
        EXPECT_FALSE(fs::exists(dir / "fuera.txt"));
    }
}

TEST_F(TarExtractionTest, SingleFilesLandInAFolderNamedAfterTheEntry) {
    std::string bytes = sampleBytes(200'000, 21, true);
    writeFile(dir / "notas.txt", bytes);
    runChecked("touch -d @1200000000 notas.txt && gzip -k notas.txt && xz -k notas.txt && "
               "bzip2 -k notas.txt && zstd -q notas.txt && touch -d @1300000000 notas.txt.*",
               dir.path());
    for (const char* name : {"notas.txt.gz", "notas.txt.xz", "notas.txt.bz2", "notas.txt.zst"}) {
        SCOPED_TRACE(name);
        fs::path result = TarArchiveEngine().extract(dir / name, {}, out, progress);
        EXPECT_EQ(result, out / "notas.txt");
        EXPECT_EQ(treeOf(result), std::set<std::string>{"notas.txt"});
        EXPECT_EQ(readFile(result / "notas.txt"), bytes);
        EXPECT_EQ(modeOf(result / "notas.txt"), 0644u);
        EXPECT_EQ(modificationTimeOf(result / "notas.txt"), 1300000000)
            << "a bare stream keeps the compressed file's time";
        EXPECT_EQ(progress.completedUnitCount(), 200'000);
        fs::remove_all(result);
        TarArchiveEngine().extractPayload({"notas.txt", 200'000, 0, false, false}, dir / name,
                                          out / "vista.txt", progress, 104857600);
        EXPECT_EQ(readFile(out / "vista.txt"), bytes);
        fs::remove(out / "vista.txt");
    }
}

TEST_F(TarExtractionTest, MultiMemberGzipExtractsAllMembers) {
    writeFile(dir / "a", "primero\n");
    writeFile(dir / "b", "segundo\n");
    runChecked("gzip a b && cat a.gz b.gz > registro.log.gz", dir.path());
    fs::path result = TarArchiveEngine().extract(dir / "registro.log.gz", {}, out, progress);
    EXPECT_EQ(readFile(result / "registro.log"), "primero\nsegundo\n");
}

// As bzip2 reads them: streams one after another (parallel writers make them) are one file,
// bytes after the last stream that begin no stream are ignored, and a cut stream is damage.
TEST_F(TarExtractionTest, Bzip2StreamsReadAsBzip2ReadsThem) {
    writeFile(dir / "a", sampleBytes(300'000, 31, true));
    writeFile(dir / "b", sampleBytes(100'000, 32, false));
    runChecked("bzip2 -k a b && cat a.bz2 b.bz2 > dos.log.bz2 && cp a.bz2 cola.log.bz2 && "
               "printf 'no es bzip2' >> cola.log.bz2 && head -c 20000 a.bz2 > corto.log.bz2 && "
               "tar -cf - a b | bzip2 | head -c 30000 > corto.tar.bz2",
               dir.path());
    const std::pair<const char*, const char*> readable[] = {{"dos.log.bz2", "a b"},
                                                            {"cola.log.bz2", "a"}};
    for (const auto& [name, parts] : readable) {
        SCOPED_TRACE(name);
        fs::path result = TarArchiveEngine().extract(dir / name, {}, out, progress);
        EXPECT_EQ(readFile(result / fs::path(name).stem()),
                  runChecked(std::string("cat ") + parts, dir.path()));
        runChecked(std::string("bzip2 -dqc ") + name + " > juez 2>/dev/null", dir.path());
        EXPECT_EQ(readFile(dir / "juez"), readFile(result / fs::path(name).stem()));
        fs::remove_all(result);
    }
    for (const char* name : {"corto.log.bz2", "corto.tar.bz2"}) {
        SCOPED_TRACE(name);
        expectFailure([&] { TarArchiveEngine().extract(dir / name, {}, out, progress); },
                      ArchiveFailure::tarFailure("el archivo está dañado o incompleto."));
    }
}

TEST_F(TarExtractionTest, CancellationInsideALargeEntryLeavesNothing) {
    runChecked("head -c 96M /dev/zero > big.bin && tar --zstd -cf ../grande.tar.zst big.bin a.txt "
               "&& tar -czf ../grande.tar.gz big.bin a.txt "
               "&& rm big.bin && head -c 96M /dev/zero | gzip -1 > ../grande.bin.gz",
               tree);
    for (const char* name : {"grande.tar.zst", "grande.tar.gz", "grande.bin.gz"}) {
        SCOPED_TRACE(name);
        Progress cancelled;
        {
            CancelWhenPast canceller(cancelled, 1 << 20);
            EXPECT_THROW(TarArchiveEngine().extract(dir / name, {}, out, cancelled),
                         CancellationError);
        }
        EXPECT_LT(cancelled.completedUnitCount(), cancelled.totalUnitCount());
        EXPECT_TRUE(fs::is_empty(out));
    }
}

// Archives large enough to be decoded in pieces on several threads (gzip from the points its
// listing noted, xz by its blocks) give what a reading from the start gives, for the whole
// archive and for one entry whose data spans pieces.
TEST_F(TarExtractionTest, ArchivesDecodedInPiecesGiveEveryByte) {
    std::string large = sampleBytes(6 << 20, 11, true);
    writeFile(tree / "grande.txt", large);
    for (const char* command : {"tar -cf - * | gzip -1 > ../x.tar.gz",
                                "tar -cf - * | xz -1 -T2 --block-size=1MiB > ../x.tar.gz"}) {
        SCOPED_TRACE(command);
        fs::path archive = make(command, "x.tar.gz");
        EXPECT_EQ(TarArchiveEngine().list(archive, progress).entries.size(), 10u);
        fs::path result = TarArchiveEngine().extract(archive, {}, out, progress);
        EXPECT_EQ(readFile(result / "grande.txt"), large);
        for (const char* name : sampleFiles)
            EXPECT_EQ(readFile(result / name), sampleContent(name)) << name;
        EXPECT_EQ(modeOf(result / "run.sh"), 0755u);
        EXPECT_EQ(modificationTimeOf(result / "a.txt"), 1000000000);
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
        TarArchiveEngine().extractPayload({"grande.txt", 6 << 20, 6 << 20, false, false}, archive,
                                          out / "solo.txt", progress);
        EXPECT_EQ(readFile(out / "solo.txt"), large);
        fs::remove_all(out);
        fs::create_directory(out);
    }
}

// The listing of an xz archive of many blocks places every entry, so that its extraction
// decodes the blocks each by itself (a listing that lost one header's place once sent every such
// extraction back to one decoding from the start); what the blocks give is what bsdtar gives.
TEST_F(TarExtractionTest, ManyBlockXzIsExtractedBlockByBlockAsBsdtarExtractsIt) {
    writeFile(tree / "docs/medio.bin", sampleBytes(300'000, 12, false));
    writeFile(tree / "docs/texto.txt", sampleBytes(300'000, 13, true));
    fs::path archive = make("tar -cf - * | xz -1 -T2 --block-size=64KiB > ../x.tar.xz", "x.tar.xz");
    files::FileDescriptor file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::vector<vexa::tar::XzBlock>> blocks =
        vexa::tar::readXzBlocks(file.get(), static_cast<std::int64_t>(fs::file_size(archive)));
    ASSERT_TRUE(blocks && blocks->size() >= 5);

    TarArchiveEngine().list(archive, progress);
    std::shared_ptr<const ArchiveSummary> listing = vexa::tar::rememberedListing(archive);
    ASSERT_TRUE(listing);
    std::shared_ptr<const vexa::tar::TarPlacements> places =
        vexa::tar::rememberedPlacements(*listing);
    ASSERT_TRUE(places && places->size() == listing->entries.size());
    fs::create_directory(out / "bloques");
    vexa::tar::ExtractionTree target(out / "bloques");
    std::vector<vexa::tar::PlacedEntry> placed;
    for (std::size_t i = 0; i < places->size(); ++i) {
        const ArchiveItem& item = listing->entries[i];
        item.isDirectory ? (void)target.makeFolders(item.path)
                         : target.makeParentFolders(item.path);
        placed.push_back({item.path, item.isDirectory, item.size, (*places)[i]});
    }
    EXPECT_TRUE(vexa::tar::extractXzBlocks(archive, placed, target, progress));

    // The listing kept the decoded blocks that xz compressed, as they are, and none that xz
    // stored; read from there, compressed again, and with every other block decoded again (as
    // when the budget ran out), the result is the same.
    std::shared_ptr<const vexa::tar::KeptBlocks> kept = vexa::tar::rememberedXzBlocks(*listing);
    ASSERT_TRUE(kept && kept->size() == blocks->size());
    std::size_t keptCount = 0;
    vexa::tar::KeptBlocks compressed(kept->size());
    std::atomic<std::uint64_t> compressedBytes{0};
    for (std::size_t i = 0; i < kept->size(); ++i) {
        const vexa::tar::XzBlock& block = (*blocks)[i];
        if (block.totalSize >= block.uncompressedSize) {
            EXPECT_FALSE((*kept)[i]) << i << " of " << kept->size();
        } else if (block.totalSize < block.uncompressedSize / 2) {
            EXPECT_TRUE((*kept)[i]) << i << " of " << kept->size();
        }
        if (!(*kept)[i])
            continue;
        ++keptCount;
        EXPECT_FALSE((*kept)[i]->compressed);
        vexa::tar::KeptBlockSource source((*kept)[i]);
        vexa::tar::BlockKeeper keeper(1u << 30, compressedBytes, block.uncompressedSize, false);
        EXPECT_FALSE(keeper.keepsRaw());
        std::string bytes(4096, '\0');
        while (std::size_t count = source.read(bytes.data(), bytes.size()))
            keeper.add(bytes.data(), count);
        compressed[i] = keeper.finish();
        ASSERT_TRUE(compressed[i] && compressed[i]->compressed);
    }
    EXPECT_GE(keptCount, 3u);
    EXPECT_LT(keptCount, kept->size());
    vexa::tar::KeptBlocks some = *kept;
    for (std::size_t i = 0; i < some.size(); i += 2)
        some[i] = nullptr;
    for (std::size_t i = 1; i < some.size(); i += 4)
        some[i] = compressed[i];
    for (const auto& [folder, blocksKept] :
         {std::pair<const char*, const vexa::tar::KeptBlocks*>{"guardados", kept.get()},
          std::pair<const char*, const vexa::tar::KeptBlocks*>{"comprimidos", &compressed},
          std::pair<const char*, const vexa::tar::KeptBlocks*>{"algunos", &some}}) {
        fs::create_directory(out / folder);
        vexa::tar::ExtractionTree keptTarget(out / folder);
        for (const vexa::tar::PlacedEntry& entry : placed)
            entry.isDirectory ? (void)keptTarget.makeFolders(entry.relative)
                              : keptTarget.makeParentFolders(entry.relative);
        EXPECT_TRUE(vexa::tar::extractXzBlocks(archive, placed, keptTarget, progress, blocksKept));
    }

    fs::create_directory(out / "bsdtar");
    runChecked("bsdtar -xf " + shellQuote(archive.string()) + " -C bsdtar", out);
    EXPECT_EQ(treeOf(out / "bloques"), treeOf(out / "bsdtar"));
    EXPECT_EQ(treeOf(out / "guardados"), treeOf(out / "bsdtar"));
    EXPECT_EQ(treeOf(out / "comprimidos"), treeOf(out / "bsdtar"));
    EXPECT_EQ(treeOf(out / "algunos"), treeOf(out / "bsdtar"));
    for (const std::string& name : treeOf(out / "bsdtar")) {
        SCOPED_TRACE(name);
        if (name.ends_with('/'))
            continue;
        EXPECT_EQ(readFile(out / "bloques" / name), readFile(out / "bsdtar" / name));
        EXPECT_EQ(readFile(out / "guardados" / name), readFile(out / "bsdtar" / name));
        EXPECT_EQ(readFile(out / "comprimidos" / name), readFile(out / "bsdtar" / name));
        EXPECT_EQ(readFile(out / "algunos" / name), readFile(out / "bsdtar" / name));
        EXPECT_EQ(modeOf(out / "bloques" / name), modeOf(out / "bsdtar" / name));
        EXPECT_EQ(modificationTimeOf(out / "bloques" / name),
                  modificationTimeOf(out / "bsdtar" / name));
    }
}

class TarPayloadTest : public TarExtractionTest {
  protected:
    void SetUp() override {
        TarExtractionTest::SetUp();
        archive = make("tar -cJf ../x.tar.xz *", "x.tar.xz");
    }
    fs::path archive;
};

TEST_F(TarPayloadTest, WritesOneFileAtTheExactLocation) {
    TarArchiveEngine().extractPayload({"docs/sub/c.bin", 100000, 100000, false, false}, archive,
                                      out / "vista.bin", progress, 104857600);
    EXPECT_EQ(readFile(out / "vista.bin"), sampleContent("docs/sub/c.bin"));
    EXPECT_EQ(treeOf(out), std::set<std::string>{"vista.bin"});
    EXPECT_EQ(countNamesStartingWith(dir.path(), ".vexa-"), 0);
}

TEST_F(TarPayloadTest, WritesAFolderWithItsContentsRelativeToIt) {
    for (const char* path : {"docs/", "docs"}) {
        SCOPED_TRACE(path);
        TarArchiveEngine().extractPayload({path, 0, 0, true, false}, archive, out / "carpeta",
                                          progress);
        EXPECT_EQ(treeOf(out / "carpeta"), (std::set<std::string>{"b.txt", "sub/", "sub/c.bin"}));
        fs::remove_all(out / "carpeta");
    }
}

TEST_F(TarPayloadTest, RefusesTooLargeUnknownAndTakenTargets) {
    expectFailure(
        [&] {
            TarArchiveEngine().extractPayload({"docs/b.txt", 5000, 5000, false, false}, archive,
                                              out / "b.txt", progress, 4999);
        },
        ArchiveFailure::previewTooLarge());
    expectFailure(
        [&] {
            TarArchiveEngine().extractPayload({"no/existe.txt", 1, 1, false, false}, archive,
                                              out / "x", progress);
        },
        ArchiveFailure::corrupt("no/existe.txt"));
    EXPECT_TRUE(fs::is_empty(out));
    writeFile(out / "ocupado", "mine");
    expectFailure(
        [&] {
            TarArchiveEngine().extractPayload({"a.txt", 13, 13, false, false}, archive,
                                              out / "ocupado", progress);
        },
        ArchiveFailure::conflict("ocupado"));
    EXPECT_EQ(readFile(out / "ocupado"), "mine");
    TarArchiveEngine().extractPayload({"docs/b.txt", 5000, 5000, false, false}, archive,
                                      out / "b.txt", progress, 5000);
    EXPECT_EQ(readFile(out / "b.txt"), sampleContent("docs/b.txt"));
    // A folder whose entries each fit passes, whatever they add up to.
    TarArchiveEngine().extractPayload({"docs/", 0, 0, true, false}, archive, out / "docs", progress,
                                      100000);
    EXPECT_EQ(readFile(out / "docs/sub/c.bin"), sampleContent("docs/sub/c.bin"));
}

TEST_F(TarPayloadTest, CancelledPayloadLeavesNothing) {
    runChecked("head -c 64M /dev/zero | zstd -q -1 > ../cero.bin.zst", tree);
    Progress cancelled;
    {
        CancelWhenPast canceller(cancelled, 1 << 20);
        EXPECT_THROW(TarArchiveEngine().extractPayload({"cero.bin", 64 << 20, 0, false, false},
                                                       dir / "cero.bin.zst", out / "cero.bin",
                                                       cancelled),
                     CancellationError);
    }
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_EQ(countNamesStartingWith(dir.path(), ".vexa-"), 0);
}

// GNU tar and bsdtar store a file with several names once and the other names as hard links to
// it. Each name lists as a file of that size and is extracted as a copy, as the tools' own
// extractions hold it; one name chosen alone (a preview, a drag) holds the data too.
TEST(TarHardLinkTest, HardLinksAreListedAndExtractedAsCopiesOfTheirFile) {
    TemporaryDirectory dir;
    fs::create_directories(dir / "src/d/e");
    writeFile(dir / "src/original.txt", sampleBytes(70000, 8, true));
    writeFile(dir / "src/otro.bin", "otro");
    runChecked("chmod 0640 src/original.txt && ln src/original.txt src/d/segundo.txt && "
               "ln src/original.txt src/d/e/tercero.txt",
               dir.path());
    const char* const commands[] = {"tar -cf x.tar src",
                                    "tar --format=posix -czf x.tar src",
                                    "tar --format=gnu -cjf x.tar src",
                                    "bsdtar -cf x.tar src",
                                    "bsdtar --zstd -cf x.tar src",
                                    "bsdtar -cJf x.tar src"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        runChecked(std::string("rm -f x.tar && ") + command, dir.path());
        const fs::path archive = dir / "x.tar";
        Progress progress;
        ArchiveSummary summary = TarArchiveEngine().list(archive, progress);
        for (const ArchiveItem& item : summary.entries) {
            if (item.path.ends_with(".txt")) {
                EXPECT_EQ(item, (ArchiveItem{item.path, 70000, 70000, false, false}));
            }
        }

        fs::create_directory(dir / "tool");
        runChecked("tar -xf x.tar -C tool", dir.path());
        fs::create_directory(dir / "out");
        fs::path result = TarArchiveEngine().extract(archive, {}, dir / "out", progress);
        EXPECT_EQ(treeContents(result), treeContents(dir / "tool"));
        EXPECT_EQ(modeOf(result / "src/d/e/tercero.txt"), 0640u);
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");

        // Chosen without the file they stand for, alone or in a folder.
        for (const char* name : {"src/d/segundo.txt", "src/original.txt"}) {
            TarArchiveEngine().extractPayload({name, 70000, 70000, false, false}, archive,
                                              dir / "out/uno.txt", progress);
            EXPECT_EQ(readFile(dir / "out/uno.txt"), readFile(dir / "tool" / name));
            fs::remove(dir / "out/uno.txt");
        }
        TarArchiveEngine().extractPayload({"src/d/", 0, 0, true, false}, archive, dir / "out/d",
                                          progress);
        EXPECT_EQ(treeContents(dir / "out/d"), treeContents(dir / "tool/src/d"));
        result = TarArchiveEngine().extract(archive, {"src/d/e/tercero.txt", "src/d/segundo.txt"},
                                            dir / "out", progress);
        EXPECT_EQ(readFile(result / "src/d/e/tercero.txt"),
                  readFile(dir / "tool/src/original.txt"));
        EXPECT_EQ(readFile(result / "src/d/segundo.txt"), readFile(dir / "tool/src/original.txt"));
        EXPECT_FALSE(fs::exists(result / "src/original.txt"));
        fs::remove_all(dir / "out");
        fs::remove_all(dir / "tool");
    }
}

} // namespace
} // namespace vexa
