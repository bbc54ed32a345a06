// Archives created by the engine, read back by Info-ZIP unzip, bsdtar and Python's zipfile;
// the refusals that leave neither an archive nor a temporary folder behind.
#include "ZIPTestSupport.h"
#include "ZIPWritingTestSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/ZIPWriter.h"
#include "platform/PlatformError.h"
#include "platform/WorkerPool.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace vexa {
namespace {

using Case = ArchiveFailure::Case;
using namespace ziptest;

class ZIPCreationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in/docs/sub");
        std::filesystem::create_directories(dir / "in/docs/empty");
        std::filesystem::create_directories(dir / "out");
        writeFile(dir / "in/docs/text.txt", sampleBytes(300000, 1, true));
        writeFile(dir / "in/docs/sub/noise.bin", sampleBytes(70000, 2, false));
        writeFile(dir / "in/docs/.hidden", "hidden");
        writeFile(dir / "in/docs/empty.txt", "");
        writeFile(dir / "in/single.txt", "one file");
        ::chmod((dir / "in/single.txt").c_str(), 0600);
    }

    std::filesystem::path create(ZIPArchiveEngine engine,
                                 const std::vector<std::filesystem::path>& sources,
                                 const std::string& name = "out.zip", bool compress = true) {
        Progress progress;
        return engine.create(sources, dir / "out" / name, compress, progress);
    }

    TemporaryDirectory dir;
};

TEST_F(ZIPCreationTest, WrittenArchiveReadsBackWithIndependentTools) {
    const auto result = create(ZIPArchiveEngine(), {dir / "in/docs", dir / "in/single.txt"});
    EXPECT_EQ(result, dir / "out/out.zip");
    runChecked("unzip -tq " + shellQuote(result.string()));

    const auto entries = writtenEntries(result);
    const std::vector<std::string> expected{"docs/",         "docs/.hidden", "docs/empty.txt",
                                            "docs/empty/",   "docs/sub/",    "docs/sub/noise.bin",
                                            "docs/text.txt", "single.txt"};
    std::vector<std::string> names;
    for (const auto& [name, entry] : entries)
        names.push_back(name);
    EXPECT_EQ(names, expected);

    EXPECT_EQ(entries.at("docs/empty/").externalAttributes, 0x41ED0010u);
    EXPECT_EQ(entries.at("docs/empty/").size, 0);
    EXPECT_EQ(entries.at("single.txt").externalAttributes, 0x81800000u);
    EXPECT_EQ(entries.at("docs/empty.txt").size, 0);
    for (const auto& [name, entry] : entries) {
        EXPECT_NE(entry.flag & 0x0800, 0u) << name;
        EXPECT_EQ(entry.flag & 1, 0u) << name;
    }
    EXPECT_EQ(entries.at("docs/text.txt").method, 8u);
    EXPECT_LT(entries.at("docs/text.txt").compressedSize, 300000);

    const auto contents = extractedByPython(result);
    EXPECT_EQ(contents.at("docs/text.txt"), readFile(dir / "in/docs/text.txt"));
    EXPECT_EQ(contents.at("docs/sub/noise.bin"), readFile(dir / "in/docs/sub/noise.bin"));
    EXPECT_EQ(contents.at("docs/.hidden"), "hidden");
    EXPECT_EQ(contents.at("single.txt"), "one file");
    EXPECT_TRUE(leftovers(dir / "out").empty());
}

// Files are compressed side by side and large ones in pieces that join into one deflate stream;
// every shape must read back whole with someone else's reader, and cost no more than zip -6.
TEST_F(ZIPCreationTest, ParallelCompressionReadsBackWithIndependentTools) {
    std::vector<std::pair<std::string, std::string>> smallFiles;
    for (std::uint32_t i = 0; i < 150; ++i)
        smallFiles.emplace_back("m/f" + std::to_string(i) + ".txt",
                                sampleBytes(100 + 37 * i, i, i % 5 != 0));
    const std::string text = sampleBytes((3 << 20) + 12345, 11, true);
    const std::string noise = sampleBytes((2 << 20) + 999, 12, false);
    const struct {
        const char* label;
        std::vector<std::pair<std::string, std::string>> files;
        bool compress = true;
        const char* password = nullptr;
        std::int64_t splitSize = 0;
    } cases[] = {
        {"many small files", smallFiles},
        {"one file of several pieces between small ones",
         {{"a.txt", "antes"}, {"b.txt", text}, {"c.txt", "después"}}},
        {"empty file", {{"vacío.txt", ""}}},
        {"incompressible pieces", {{"ruido.bin", noise}}},
        {"stored pieces", {{"b.txt", text}, {"c.txt", "x"}}, false},
        {"encrypted pieces and small files",
         {{"b.txt", text}, {"c.txt", "secreto"}},
         true,
         "clave"},
        {"pieces across split parts",
         {{"ruido.bin", noise}, {"b.txt", text}},
         true,
         nullptr,
         1 << 18},
    };
    // zipfile judges every plain archive in one run; it starts slowly.
    std::string pythonArguments;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto root = dir / "shapes" / c.label;
        for (const auto& [name, bytes] : c.files) {
            std::filesystem::create_directories((root / "t" / name).parent_path());
            writeFile(root / "t" / name, bytes);
        }
        ZIPArchiveEngine engine(c.password ? std::optional<std::string>(c.password) : std::nullopt);
        engine.splitSize = c.splitSize;
        Progress progress;
        auto archive = engine.create({root / "t"}, root / "new.zip", c.compress, progress);
        EXPECT_TRUE(progress.isFinished());
        if (c.splitSize > 0) {
            ziptest::joinSplitSet(archive, root / "joined.zip");
            archive = root / "joined.zip";
        }

        const std::string passphrase =
            c.password ? " --passphrase " + shellQuote(c.password) : std::string();
        runChecked("mkdir x && bsdtar -xf " + shellQuote(archive.string()) + passphrase + " -C x",
                   root);
        for (const auto& [name, bytes] : c.files)
            EXPECT_TRUE(readFile(root / "x/t" / name) == bytes) << name;
        if (c.password)
            continue;
        runChecked("unzip -tq " + shellQuote(archive.string()));
        pythonArguments += " " + shellQuote(archive.string()) + " " + shellQuote(root.string());
        if (c.compress && c.splitSize == 0) {
            runChecked("zip -q -r -6 peer.zip t", root);
            EXPECT_LE(std::filesystem::file_size(archive),
                      std::filesystem::file_size(root / "peer.zip") * 101 / 100);
        }
    }
    runChecked("python3 -c " + shellQuote(R"(
import os, sys, zipfile
for archive, root in zip(sys.argv[1::2], sys.argv[2::2]):
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            if not info.is_dir():
                with open(os.path.join(root, info.filename), 'rb') as f:
                    assert z.read(info) == f.read(), (archive, info.filename)
)") + pythonArguments);
}

// The compressors are cores of the process's pool: with every one of them lent elsewhere (the
// creation runs inside other parallel work), one compressor still makes the same archive, byte
// for byte, as the compressors a whole pool lends.
TEST_F(ZIPCreationTest, TheArchiveIsTheSameWhateverTheCoresThePoolLends) {
    writeFile(dir / "in/docs/sub/large.txt", sampleBytes((3 << 20) + 4321, 21, true));
    writeFile(dir / "in/docs/sub/large.bin", sampleBytes((1 << 20) + 1, 22, false));
    for (const bool compress : {true, false}) {
        SCOPED_TRACE(compress);
        const auto whole = create(ZIPArchiveEngine(), {dir / "in/docs"}, "whole.zip", compress);
        std::filesystem::path alone;
        {
            platform::WorkerPool& pool = platform::WorkerPool::process();
            const platform::WorkerPool::Lease all =
                pool.borrow(pool.cores(), platform::WorkerPool::Asker::waits);
            alone = create(ZIPArchiveEngine(), {dir / "in/docs"}, "alone.zip", compress);
        }
        runChecked("unzip -tq " + shellQuote(alone.string()));
        EXPECT_TRUE(readFile(alone) == readFile(whole));
    }
}

TEST_F(ZIPCreationTest, WithoutCompressionEveryEntryIsStored) {
    const auto result = create(ZIPArchiveEngine(), {dir / "in/docs"}, "stored.zip", false);
    runChecked("unzip -tq " + shellQuote(result.string()));
    for (const auto& [name, entry] : writtenEntries(result)) {
        EXPECT_EQ(entry.method, 0u) << name;
        EXPECT_EQ(entry.compressedSize, entry.size) << name;
    }
}

TEST_F(ZIPCreationTest, PasswordEncryptsFilesWithAES256AndLeavesNamesAndFoldersPlain) {
    const std::string password = "contrase\xC3\xB1"
                                 "a";
    const auto result = create(ZIPArchiveEngine(password), {dir / "in/docs"}, "secret.zip");

    for (const auto& [name, entry] : writtenEntries(result)) {
        const bool folder = name.ends_with("/");
        EXPECT_EQ(entry.flag & 1, folder ? 0u : 1u) << name;
        EXPECT_EQ(entry.method, folder ? 0u : 99u) << name;
    }
    // The AES field names AE-2 with a 256-bit key.
    runChecked("python3 -c " + shellQuote(R"(
import sys, zipfile
for info in zipfile.ZipFile(sys.argv[1]).infolist():
    if not info.is_dir():
        assert b'\x01\x99\x07\x00\x02\x00AE\x03\x08\x00' in info.extra, info.extra
)") + " " + shellQuote(result.string()));

    runChecked("mkdir x && bsdtar -x --passphrase " + shellQuote(password) + " -f " +
                   shellQuote(result.string()) + " -C x",
               dir.path());
    EXPECT_EQ(readFile(dir / "x/docs/text.txt"), readFile(dir / "in/docs/text.txt"));
    EXPECT_EQ(readFile(dir / "x/docs/sub/noise.bin"), readFile(dir / "in/docs/sub/noise.bin"));

    Progress progress;
    const auto listing = ZIPArchiveEngine().list(result, progress);
    for (const ArchiveItem& item : listing.entries)
        EXPECT_EQ(item.isEncrypted, !item.isDirectory) << item.path;
}

TEST_F(ZIPCreationTest, SplitOutputGoesIntoAPartsFolderOfExactPartSizes) {
    writeFile(dir / "in/big.bin", sampleBytes(200000, 7, false));
    ZIPArchiveEngine engine;
    engine.splitSize = 65536;
    const auto result = create(engine, {dir / "in/big.bin"}, "copia.zip");
    const auto folder = dir / "out/copia \xE2\x80\x94 partes";
    EXPECT_EQ(result, folder / "copia.zip");
    for (const char* part : {"copia.z01", "copia.z02", "copia.z03"})
        EXPECT_EQ(std::filesystem::file_size(folder / part), 65536u) << part;
    EXPECT_LE(std::filesystem::file_size(result), 65536u);
    EXPECT_FALSE(std::filesystem::exists(dir / "out/copia.zip"));

    EXPECT_EQ(readFile(folder / "copia.z01").substr(0, 4), std::string("PK\x07\x08", 4));
    // Joined with offsets from its start, the set is an archive that unzip and zipfile read.
    ziptest::joinSplitSet(result, dir / "joined.zip");
    runChecked("unzip -tq joined.zip", dir.path());
    EXPECT_TRUE(extractedByPython(dir / "joined.zip").at("big.bin") ==
                readFile(dir / "in/big.bin"));

    Progress progress;
    EXPECT_EQ(ZIPArchiveEngine().list(result, progress).volumes.size(), 4u);
    const auto second = create(engine, {dir / "in/big.bin"}, "copia.zip");
    EXPECT_EQ(second, dir / "out/copia \xE2\x80\x94 partes 2/copia.zip");
    EXPECT_TRUE(leftovers(dir / "out").empty());
}

TEST_F(ZIPCreationTest, ExistingDestinationIsReplaced) {
    writeFile(dir / "out/out.zip", "old content");
    const auto result = create(ZIPArchiveEngine(), {dir / "in/single.txt"});
    EXPECT_EQ(extractedByPython(result).at("single.txt"), "one file");
    EXPECT_TRUE(leftovers(dir / "out").empty());
}

TEST_F(ZIPCreationTest, RefusalsLeaveNothingBehind) {
    std::filesystem::create_directories(dir / "a");
    std::filesystem::create_directories(dir / "b");
    writeFile(dir / "a/Foto.jpg", "1");
    writeFile(dir / "b/foto.JPG", "2");
    std::filesystem::create_symlink(dir / "in/single.txt", dir / "link.txt");
    std::filesystem::create_directory_symlink(dir / "in/docs", dir / "linkdir");
    std::filesystem::create_directories(dir / "linked/inner");
    std::filesystem::create_symlink(dir / "in/single.txt", dir / "linked/inner/l");
    ::mkfifo((dir / "fifo").c_str(), 0600);
    writeFile(dir / "out/out.zip", "previous");
    std::filesystem::create_directory_symlink(dir / "out", dir / "outlink");

    ZIPArchiveEngine tooSmall;
    tooSmall.splitSize = 65535;
    ZIPArchiveEngine negative;
    negative.splitSize = -1;
    const struct {
        const char* label;
        ZIPArchiveEngine engine;
        std::vector<std::filesystem::path> sources;
        ArchiveFailure expected;
    } cases[] = {
        {"no sources", ZIPArchiveEngine(), {}, ArchiveFailure::emptySelection()},
        {"parts below 64 KiB", tooSmall, {dir / "in/single.txt"}, ArchiveFailure::unsupported()},
        {"negative part size", negative, {dir / "in/single.txt"}, ArchiveFailure::unsupported()},
        {"chosen link",
         ZIPArchiveEngine(),
         {dir / "link.txt"},
         ArchiveFailure::symbolicLink("link.txt")},
        {"chosen link to a folder, with a final slash",
         ZIPArchiveEngine(),
         {dir.path().string() + "/linkdir/"},
         ArchiveFailure::symbolicLink("linkdir")},
        {"link inside a folder",
         ZIPArchiveEngine(),
         {dir / "linked"},
         ArchiveFailure::symbolicLink("linked/inner/l")},
        {"special file", ZIPArchiveEngine(), {dir / "fifo"}, ArchiveFailure::unsupported()},
        {"names differing in case",
         ZIPArchiveEngine(),
         {dir / "a/Foto.jpg", dir / "b/foto.JPG"},
         ArchiveFailure::duplicate("foto.JPG")},
        {"the destination itself",
         ZIPArchiveEngine(),
         {dir / "outlink/out.zip"},
         ArchiveFailure::sourceIsArchive()},
        {"the destination inside a folder",
         ZIPArchiveEngine(),
         {dir / "out"},
         ArchiveFailure::sourceIsArchive()},
    };
    for (const auto& c : cases) {
        ZIPArchiveEngine engine = c.engine;
        const auto failure = failureOf([&] { create(engine, c.sources); });
        EXPECT_EQ(failure, c.expected) << c.label;
        EXPECT_EQ(readFile(dir / "out/out.zip"), "previous") << c.label;
        EXPECT_TRUE(leftovers(dir / "out").empty()) << c.label;
    }
}

TEST_F(ZIPCreationTest, NewArchiveInsideAChosenFolderIsRefusedBeforeAnythingIsWritten) {
    std::filesystem::create_directory_symlink(dir / "in", dir / "inlink");
    const auto treeOf = [](const std::filesystem::path& folder) {
        std::set<std::filesystem::path> names;
        for (const auto& item : std::filesystem::recursive_directory_iterator(folder))
            names.insert(item.path());
        return names;
    };
    const auto before = treeOf(dir / "in");
    const struct {
        const char* label;
        std::vector<std::filesystem::path> sources;
        std::filesystem::path destination;
    } cases[] = {
        {"directly inside", {dir / "in/single.txt", dir / "in/docs"}, dir / "in/docs/new.zip"},
        {"in a subfolder", {dir / "in/docs"}, dir / "in/docs/sub/new.zip"},
        {"folder chosen through a link", {dir / "inlink/docs"}, dir / "in/docs/new.zip"},
        {"destination through a link", {dir / "in/docs"}, dir / "inlink/docs/sub/new.zip"},
        {"destination with dot-dot", {dir / "in/docs"}, dir / "in/docs/sub/../new.zip"},
    };
    for (const auto& c : cases) {
        Progress progress;
        const auto failure =
            failureOf([&] { ZIPArchiveEngine().create(c.sources, c.destination, true, progress); });
        EXPECT_EQ(failure, ArchiveFailure::sourceIsArchive()) << c.label;
        EXPECT_EQ(treeOf(dir / "in"), before) << c.label;
    }

    // A sibling whose name merely begins with the chosen folder's name is outside it.
    std::filesystem::create_directories(dir / "in/docs2");
    Progress progress;
    const auto beside =
        ZIPArchiveEngine().create({dir / "in/docs"}, dir / "in/docs2/new.zip", true, progress);
    EXPECT_EQ(extractedByPython(beside).at("docs/empty.txt"), "");
}

TEST_F(ZIPCreationTest, SourceWhoseSizeChangesWhileReadIsRefused) {
    // A process file states size 0 and then yields its text, as a file growing under the read.
    writeFile(dir / "out/out.zip", "previous");
    EXPECT_EQ(failureOf([&] { create(ZIPArchiveEngine(), {"/proc/self/status"}); }),
              ArchiveFailure::corrupt("«status» no coincide con el original. Puede haber "
                                      "cambiado durante la compresión."));
    EXPECT_EQ(readFile(dir / "out/out.zip"), "previous");
    EXPECT_TRUE(leftovers(dir / "out").empty());
}

TEST_F(ZIPCreationTest, ItemSwappedAfterTheWalkIsRefusedWhenWritten) {
    // What the walk saw can be replaced before its entry is written.
    ::mkfifo((dir / "fifo").c_str(), 0600);
    std::filesystem::create_symlink(dir / "in/single.txt", dir / "link");
    ZIPWriter writer(dir / "x.zip", 0);
    Progress progress;
    EXPECT_EQ(failureOf([&] {
                  ZIPArchiveEngine().addFile("fifo", dir / "fifo", writer, true, progress);
              }),
              ArchiveFailure::unsupported());
    EXPECT_EQ(failureOf([&] {
                  ZIPArchiveEngine().addFile("d/link", dir / "link", writer, true, progress);
              }),
              ArchiveFailure::symbolicLink("d/link"));
}

TEST_F(ZIPCreationTest, SmallestSplitSizeIsAccepted) {
    ZIPArchiveEngine engine;
    engine.splitSize = 65536;
    const auto result = create(engine, {dir / "in/single.txt"}, "one.zip");
    EXPECT_EQ(extractedByPython(result).at("single.txt"), "one file");
}

TEST_F(ZIPCreationTest, CancellationLeavesNoArchive) {
    writeFile(dir / "out/out.zip", "previous");
    Progress progress;
    progress.cancel();
    EXPECT_THROW(ZIPArchiveEngine().create({dir / "in/docs"}, dir / "out/out.zip", true, progress),
                 CancellationError);
    EXPECT_EQ(readFile(dir / "out/out.zip"), "previous");
    EXPECT_TRUE(leftovers(dir / "out").empty());
}

TEST_F(ZIPCreationTest, CancellationInsideALargeFileRemovesTheUnfinishedParts) {
    writeFile(dir / "in/zeros.bin", std::string(8 << 20, '\0'));
    writeFile(dir / "out/out.zip", "previous");
    ZIPArchiveEngine engine;
    engine.splitSize = 65536;
    // With 64-byte reads over a hundred thousand polls remain once the large file has begun, a
    // window far longer than any delay before the watcher runs.
    engine.bufferSize = 64;
    Progress progress;
    std::atomic<bool> finished{false};
    // The first entry completes its unit; the large file is being written from then on.
    std::thread watcher([&] {
        while (!finished && progress.completedUnitCount() < 1)
            std::this_thread::yield();
        progress.cancel();
    });
    const bool cancelled = endsInCancellation([&] {
        engine.create({dir / "in/single.txt", dir / "in/zeros.bin"}, dir / "out/out.zip", true,
                      progress);
    });
    finished = true;
    watcher.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(readFile(dir / "out/out.zip"), "previous");
    const std::vector<std::string> expected{"out.zip"};
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir / "out"))
        names.push_back(item.path().filename().string());
    EXPECT_EQ(names, expected);
}

TEST_F(ZIPCreationTest, ProgressCountsOneUnitPerEntry) {
    Progress progress;
    ZIPArchiveEngine().create({dir / "in/docs"}, dir / "out/out.zip", true, progress);
    EXPECT_EQ(progress.totalUnitCount(), 7);
    EXPECT_TRUE(progress.isFinished());
}

} // namespace
} // namespace vexa
