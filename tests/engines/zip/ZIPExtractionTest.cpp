// Extraction of whole archives and of single entries, against archives made by Info-ZIP zip,
// bsdtar and Python's zipfile: the tree, bytes, modes and times on disk, the free-name rule and
// the clean-up after every failure and cancellation.
#include "ZIPTestSupport.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace vexa {
namespace {

using Case = ArchiveFailure::Case;
using namespace ziptest;

mode_t modeOf(const std::filesystem::path& location) {
    struct stat status {};
    EXPECT_EQ(::lstat(location.c_str(), &status), 0) << location;
    return status.st_mode & 07777;
}

std::int64_t modificationSeconds(const std::filesystem::path& location) {
    struct stat status {};
    EXPECT_EQ(::lstat(location.c_str(), &status), 0) << location;
    return status.st_mtim.tv_sec;
}

void setModificationSeconds(const std::filesystem::path& location, std::int64_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, location.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Relative paths of everything below `root`, folders ending in "/".
std::set<std::string> treeOf(const std::filesystem::path& root) {
    std::set<std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        std::string relative = std::filesystem::relative(item.path(), root).string();
        tree.insert(item.is_directory() ? relative + "/" : relative);
    }
    return tree;
}

class ZIPExtractionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir / "in/docs/sub");
        std::filesystem::create_directories(dir / "dest");
    }

    // Info-ZIP archive of a small tree with known modes and times.
    void makeInfoZipTree(const std::string& options = "") {
        writeFile(dir / "in/docs/a.txt", sampleBytes(300000, 1, true));
        writeFile(dir / "in/docs/sub/run.sh", "#!/bin/sh\necho hola\n");
        writeFile(dir / "in/noise.bin", sampleBytes(100000, 2, false));
        writeFile(dir / "in/empty.txt", "");
        std::filesystem::permissions(dir / "in/docs/a.txt", std::filesystem::perms(0640));
        std::filesystem::permissions(dir / "in/docs/sub/run.sh", std::filesystem::perms(0755));
        setModificationSeconds(dir / "in/docs/a.txt", 1500000000);
        setModificationSeconds(dir / "in/docs/sub/run.sh", 1600000000);
        runChecked("zip -q -r " + options + " ../Fotos.zip docs noise.bin empty.txt", dir / "in");
    }

    std::filesystem::path extractAll(const ZIPArchiveEngine& engine, const std::string& archive,
                                     const std::set<std::string>& paths = {}) {
        Progress progress;
        return ZIPArchiveEngine(engine).extract(dir / archive, paths, dir / "dest", progress);
    }

    // The destination holds nothing new: no result folder, no staging folder.
    void expectUntouchedDestination() {
        EXPECT_TRUE(std::filesystem::is_empty(dir / "dest"));
        EXPECT_TRUE(leftovers(dir.path()).empty());
    }

    TemporaryDirectory dir;
};

TEST_F(ZIPExtractionTest, RestoresTreeBytesModesAndTimes) {
    makeInfoZipTree();
    Progress progress;
    const auto result = ZIPArchiveEngine().extract(dir / "Fotos.zip", {}, dir / "dest", progress);
    EXPECT_EQ(result, dir / "dest/Fotos");
    EXPECT_EQ(treeOf(result), (std::set<std::string>{"docs/", "docs/a.txt", "docs/sub/",
                                                     "docs/sub/run.sh", "noise.bin", "empty.txt"}));
    for (const char* name : {"docs/a.txt", "docs/sub/run.sh", "noise.bin", "empty.txt"})
        EXPECT_EQ(readFile(result / name), readFile(dir / "in" / name)) << name;
    EXPECT_EQ(modeOf(result / "docs/a.txt"), 0640u);
    EXPECT_EQ(modeOf(result / "docs/sub/run.sh"), 0755u);
    EXPECT_EQ(modificationSeconds(result / "docs/a.txt"), 1500000000);
    EXPECT_EQ(modificationSeconds(result / "docs/sub/run.sh"), 1600000000);
    // Folders and the empty file count one unit each.
    EXPECT_EQ(progress.totalUnitCount(), 300000 + 20 + 100000 + 1 + 2);
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    EXPECT_TRUE(leftovers(dir / "dest").empty());
}

TEST_F(ZIPExtractionTest, ModeComesFromUnixHostsOnly) {
    runPython(
        "with zipfile.ZipFile('m.zip', 'w') as zf:\n"
        "    add(zf, b'unix', b'1', system=3, mode=0o100751)\n"
        "    add(zf, b'osx', b'2', system=19, mode=0o100700)\n"
        "    add(zf, b'dos', b'3', system=0, mode=0o100751)\n"
        "    add(zf, b'setuid', b'4', system=3, mode=0o104755)\n"
        "    add(zf, b'nomode', b'5', system=3)\n"
        // zipfile writes 0600 for a zero mode, so the last central record is patched to hold none.
        "b = bytearray(open('m.zip', 'rb').read())\n"
        "i = b.rfind(b'PK\\x01\\x02')\n"
        "struct.pack_into('<I', b, i + 38, 0)\n"
        "open('m.zip', 'wb').write(b)\n",
        dir.path());
    const auto result = extractAll(ZIPArchiveEngine(), "m.zip");
    EXPECT_EQ(modeOf(result / "unix"), 0751u);
    EXPECT_EQ(modeOf(result / "osx"), 0700u);
    EXPECT_EQ(modeOf(result / "dos"), 0644u);
    EXPECT_EQ(modeOf(result / "setuid"), 0755u);
    // A Unix entry that stored no mode at all must not come out unreadable.
    EXPECT_EQ(modeOf(result / "nomode"), 0644u);
}

TEST_F(ZIPExtractionTest, ResultTakesTheFirstFreeName) {
    makeInfoZipTree();
    std::filesystem::create_directory(dir / "dest/Fotos");
    std::filesystem::create_directory(dir / "elsewhere");
    std::filesystem::create_directory_symlink(dir / "elsewhere", dir / "dest/Fotos 2");
    EXPECT_EQ(extractAll(ZIPArchiveEngine(), "Fotos.zip"), dir / "dest/Fotos 3");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "dest/Fotos"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "elsewhere"));
    // A dangling link holds its name as well, and nothing is created where it points.
    std::filesystem::create_directory_symlink(dir / "nowhere", dir / "dest/Fotos 4");
    EXPECT_EQ(extractAll(ZIPArchiveEngine(), "Fotos.zip"), dir / "dest/Fotos 5");
    EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));

    EXPECT_EQ(ZIPArchiveEngine::availableURL("", dir / "dest"), dir / "dest/Archivos");
    std::filesystem::create_directory(dir / "dest/Archivos");
    EXPECT_EQ(ZIPArchiveEngine::availableURL("", dir / "dest"), dir / "dest/Archivos 2");
}

TEST(ZIPSelectionTest, ChosenFoldersBringTheirContents) {
    const auto item = [](std::string path) {
        return ArchiveItem{std::move(path), 1, 1, path.ends_with("/")};
    };
    const std::vector<ArchiveItem> entries = {item("docs/"), item("docs/a.txt"),
                                              item("docs/sub/b.txt"), item("docsx.txt"),
                                              item("z.txt")};
    const auto paths = [&](const std::set<std::string>& chosen) {
        std::vector<std::string> selected;
        for (const auto& entry : ZIPArchiveEngine::selectEntries(entries, chosen))
            selected.push_back(entry.path);
        return selected;
    };
    using Paths = std::vector<std::string>;
    EXPECT_EQ(paths({}), (Paths{"docs/", "docs/a.txt", "docs/sub/b.txt", "docsx.txt", "z.txt"}));
    EXPECT_EQ(paths({"docs"}), (Paths{"docs/", "docs/a.txt", "docs/sub/b.txt"}));
    EXPECT_EQ(paths({"docs/"}), (Paths{"docs/", "docs/a.txt", "docs/sub/b.txt"}));
    EXPECT_EQ(paths({"z.txt", "docs/sub"}), (Paths{"docs/sub/b.txt", "z.txt"}));
    EXPECT_EQ(paths({"docsx.txt"}), (Paths{"docsx.txt"}));
    EXPECT_EQ(paths({"nothing"}), Paths{});
}

TEST_F(ZIPExtractionTest, ExtractsOnlyTheChosenEntries) {
    makeInfoZipTree();
    const auto result = extractAll(ZIPArchiveEngine(), "Fotos.zip", {"docs/sub", "empty.txt"});
    EXPECT_EQ(treeOf(result),
              (std::set<std::string>{"docs/", "docs/sub/", "docs/sub/run.sh", "empty.txt"}));
    EXPECT_EQ(failureOf([&] { extractAll(ZIPArchiveEngine(), "Fotos.zip", {"absent.txt"}); }),
              ArchiveFailure::emptySelection());
    EXPECT_TRUE(leftovers(dir / "dest").empty());
}

TEST_F(ZIPExtractionTest, SplitSetAndForcedZip64ExtractExactly) {
    writeFile(dir / "in/noise.bin", sampleBytes(230000, 3, false));
    runChecked("zip -q -s 64k ../Split.zip noise.bin", dir / "in");
    EXPECT_EQ(readFile(extractAll(ZIPArchiveEngine(), "Split.zip") / "noise.bin"),
              readFile(dir / "in/noise.bin"));

    runPython("with zipfile.ZipFile('Big.zip', 'w', zipfile.ZIP_DEFLATED) as zf:\n"
              "    with zf.open('big.txt', 'w', force_zip64=True) as f:\n"
              "        f.write(b'abc' * 10000)\n",
              dir.path());
    std::string expected;
    for (int i = 0; i < 10000; ++i)
        expected += "abc";
    EXPECT_EQ(readFile(extractAll(ZIPArchiveEngine(), "Big.zip") / "big.txt"), expected);
}

TEST_F(ZIPExtractionTest, JavaArchiveKeepsNamesThatDifferInCase) {
    runPython("with zipfile.ZipFile('app.jar', 'w') as zf:\n"
              "    add(zf, b'Read.me', b'upper')\n"
              "    add(zf, b'read.me', b'lower')\n"
              "    add(zf, b'Docs/a.txt', b'A')\n"
              "    add(zf, b'docs/a.txt', b'a')\n",
              dir.path());
    const auto result = extractAll(ZIPArchiveEngine(), "app.jar");
    EXPECT_EQ(readFile(result / "Read.me"), "upper");
    EXPECT_EQ(readFile(result / "read (2).me"), "lower");
    EXPECT_EQ(readFile(result / "Docs/a.txt"), "A");
    EXPECT_EQ(readFile(result / "docs (2)/a.txt"), "a");
}

TEST_F(ZIPExtractionTest, PayloadIsOneFileOrOneFolder) {
    makeInfoZipTree();
    const ZIPArchiveEngine engine;
    Progress progress;
    engine.extractPayload({"docs/a.txt", 300000, 0, false}, dir / "Fotos.zip", dir / "dest/a.txt",
                          progress, std::nullopt);
    EXPECT_EQ(readFile(dir / "dest/a.txt"), readFile(dir / "in/docs/a.txt"));
    EXPECT_EQ(modeOf(dir / "dest/a.txt"), 0640u);

    Progress folderProgress;
    engine.extractPayload({"docs/", 0, 0, true}, dir / "Fotos.zip", dir / "dest/Preview",
                          folderProgress, 104857600);
    EXPECT_EQ(treeOf(dir / "dest/Preview"), (std::set<std::string>{"a.txt", "sub/", "sub/run.sh"}));
    EXPECT_EQ(readFile(dir / "dest/Preview/sub/run.sh"), readFile(dir / "in/docs/sub/run.sh"));
    EXPECT_TRUE(leftovers(dir / "dest").empty());
}

TEST_F(ZIPExtractionTest, PayloadRefusesLargeOrUnknownEntries) {
    makeInfoZipTree();
    const ZIPArchiveEngine engine;
    const auto payload = [&](const ArchiveItem& item, std::optional<std::int64_t> limit) {
        Progress progress;
        engine.extractPayload(item, dir / "Fotos.zip", dir / "dest/out", progress, limit);
    };
    // The folder's largest entry decides; sizes are not added up.
    EXPECT_EQ(failureOf([&] {
                  payload({"docs/", 0, 0, true}, 299999);
              }),
              ArchiveFailure::previewTooLarge());
    EXPECT_EQ(failureOf([&] {
                  payload({"noise.bin", 100000, 0, false}, 99999);
              }),
              ArchiveFailure::previewTooLarge());
    EXPECT_EQ(failureOf([&] {
                  payload({"gone.txt", 1, 0, false}, std::nullopt);
              }),
              ArchiveFailure::corrupt("gone.txt"));
    expectUntouchedDestination();
    EXPECT_FALSE(failureOf([&] { payload({"docs/", 0, 0, true}, 300000); }));
    EXPECT_EQ(treeOf(dir / "dest/out").size(), 3u);
}

TEST_F(ZIPExtractionTest, CancellationLeavesNothingBehind) {
    makeInfoZipTree();
    Progress cancelled;
    cancelled.cancel();
    EXPECT_THROW(ZIPArchiveEngine().extract(dir / "Fotos.zip", {}, dir / "dest", cancelled),
                 CancellationError);
    EXPECT_THROW(ZIPArchiveEngine().extractPayload({"noise.bin", 100000, 0, false},
                                                   dir / "Fotos.zip", dir / "dest/n", cancelled,
                                                   std::nullopt),
                 CancellationError);
    expectUntouchedDestination();
}

// Files are found by moving forward from the previous one, so entries given out of listing order
// fail instead of reading another entry's data.
TEST_F(ZIPExtractionTest, AFileNotFoundAheadIsCorrupt) {
    makeInfoZipTree();
    Progress listingProgress;
    std::vector<ArchiveItem> entries =
        ZIPArchiveEngine().list(dir / "Fotos.zip", listingProgress).entries;
    std::erase_if(entries, [](const ArchiveItem& entry) { return entry.isDirectory; });
    ASSERT_GE(entries.size(), 2u);
    std::reverse(entries.begin(), entries.end());
    Progress progress;
    EXPECT_EQ(failureOf([&] {
                  ZIPArchiveEngine().extractEntries(
                      dir / "Fotos.zip", entries, progress, 0, true,
                      [&](const ArchiveItem& entry) { return dir / "dest" / entry.path; });
              }),
              ArchiveFailure::corrupt("ZIP (código -100)"));
}

TEST_F(ZIPExtractionTest, CancellationIsPolledBeforeEveryRead) {
    writeFile(dir / "in/large.bin", sampleBytes(3 * 262144 + 17, 5, false));
    writeFile(dir / "in/after.txt", "after");
    runChecked("zip -q -0 ../L.zip large.bin after.txt", dir / "in");
    Progress listingProgress;
    const auto listing = ZIPArchiveEngine().list(dir / "L.zip", listingProgress);

    // Cancelled after the check that opens the large file, the read loop must see it.
    Progress progress;
    const bool failure = endsInCancellation([&] {
        ZIPArchiveEngine().extractEntries(dir / "L.zip", listing.entries, progress, 0, true,
                                          [&](const ArchiveItem& entry) {
                                              if (entry.path == "large.bin")
                                                  progress.cancel();
                                              return dir / "dest" / entry.path;
                                          });
    });
    EXPECT_TRUE(failure);
    EXPECT_EQ(progress.completedUnitCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "dest/after.txt"));
}

TEST_F(ZIPExtractionTest, CancellationInTheMiddleOfALargeFileRemovesEverything) {
    runPython("with zipfile.ZipFile('Zeros.zip', 'w', zipfile.ZIP_DEFLATED) as zf:\n"
              "    zf.writestr('first.txt', b'first')\n"
              "    with zf.open('zeros.bin', 'w') as f:\n"
              "        for _ in range(32): f.write(bytes(1 << 20))\n",
              dir.path());
    ZIPArchiveEngine engine;
    // Small reads keep the large file's loop polling long after the cancel.
    engine.bufferSize = 64;
    Progress progress;
    std::int64_t completedAtCancel = -1;
    // Cancels as soon as the count passes the 5 bytes of first.txt, that is inside zeros.bin.
    progress.setCompletionObserver([&](std::int64_t completed) {
        if (completed > 5 && completedAtCancel < 0) {
            completedAtCancel = completed;
            progress.cancel();
        }
    });
    const bool cancelled =
        endsInCancellation([&] { engine.extract(dir / "Zeros.zip", {}, dir / "dest", progress); });
    EXPECT_TRUE(cancelled);
    EXPECT_GT(completedAtCancel, 5);
    EXPECT_LT(progress.completedUnitCount(), progress.totalUnitCount());
    expectUntouchedDestination();
}

// Enough entries that several workers share the extraction: every file lands with its bytes, the
// progress ends exactly at its total, and of two damaged entries far apart the earlier one is
// reported, as a single pass would.
TEST_F(ZIPExtractionTest, ManyEntriesAreSharedOutWithTheSameResults) {
    runPython("for name, damaged in (('Many.zip', ()), ('Bad.zip', (100, 700))):\n"
              "    with zipfile.ZipFile(name, 'w', zipfile.ZIP_DEFLATED) as zf:\n"
              "        for i in range(800):\n"
              "            zf.writestr(f'd{i % 30}/f{i}.txt', f'contenido {i}\\n' * (i % 7 + 1))\n"
              "    data = bytearray(open(name, 'rb').read())\n"
              "    for i in damaged:\n"
              "        # The CRC-32 of the entry's central record, which lies after its name.\n"
              "        at = data.rfind(f'd{i % 30}/f{i}.txt'.encode()) - 46 + 16\n"
              "        data[at] ^= 0xFF\n"
              "    open(name, 'wb').write(data)\n",
              dir.path());
    Progress progress;
    const auto result = ZIPArchiveEngine().extract(dir / "Many.zip", {}, dir / "dest", progress);
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    for (int i = 0; i < 800; ++i) {
        std::string expected;
        for (int k = 0; k < i % 7 + 1; ++k)
            expected += "contenido " + std::to_string(i) + "\n";
        ASSERT_EQ(
            readFile(result / ("d" + std::to_string(i % 30)) / ("f" + std::to_string(i) + ".txt")),
            expected)
            << i;
    }
    EXPECT_EQ(treeOf(result).size(), 830u);

    Progress damaged;
    EXPECT_EQ(
        failureOf([&] { ZIPArchiveEngine().extract(dir / "Bad.zip", {}, dir / "dest", damaged); }),
        ArchiveFailure::corrupt("d10/f100.txt"));
    EXPECT_EQ(treeOf(dir / "dest").size(), treeOf(result).size() + 1);
}

} // namespace
} // namespace vexa

namespace vexa {
namespace {

using namespace ziptest;

// Entries large enough that their own data is spread over threads (stored: read and written in
// pieces; otherwise: inflated or decrypted on one thread, checked and written on another) give
// the same bytes, modes, progress and failures as small ones, made by three independent tools.
TEST(ZIPLargeEntryTest, SpreadDataKeepsBytesProgressAndFailures) {
    constexpr std::size_t size = (9 << 20) + 12345;
    struct Row {
        const char* name;
        const char* command; // run in the folder holding big.bin
        std::function<void(const std::filesystem::path&)> damage;
        std::optional<std::string> password;
        std::optional<ArchiveFailure> failure;
    };
    const auto centralCrc = [](const std::filesystem::path& archive) {
        std::string bytes = readFile(archive);
        const std::size_t at = bytes.rfind("PK\1\2") + 16;
        bytes[at] = static_cast<char>(~bytes[at]);
        writeFile(archive, bytes);
    };
    const auto dataByte = [](const std::filesystem::path& archive) {
        damageEntryData(archive, "big.bin", 5 << 20);
    };
    const Row rows[] = {
        {"stored", "zip -q -0 x.zip big.bin", nullptr, std::nullopt, std::nullopt},
        {"deflated", "zip -q -1 x.zip big.bin", nullptr, std::nullopt, std::nullopt},
        {"stored, byte damaged", "zip -q -0 x.zip big.bin", dataByte, std::nullopt,
         ArchiveFailure::corrupt("big.bin")},
        {"deflated, CRC damaged", "zip -q -1 x.zip big.bin", centralCrc, std::nullopt,
         ArchiveFailure::corrupt("big.bin")},
        {"ZipCrypto, CRC damaged", "zip -q -1 -P clave x.zip big.bin", centralCrc,
         std::string("clave"), ArchiveFailure::wrongPassword()},
        {"AES-256 stored",
         "bsdtar --format zip --options "
         "zip:encryption=aes256,zip:compression=store --passphrase clave "
         "-cf x.zip big.bin",
         nullptr, std::string("clave"), std::nullopt},
    };
    const std::string bytes = sampleBytes(size, 7, true) + sampleBytes(size / 4, 8, false);
    for (const Row& row : rows) {
        TemporaryDirectory dir;
        writeFile(dir / "big.bin", bytes);
        std::filesystem::permissions(dir / "big.bin", std::filesystem::perms(0640));
        runChecked(row.command, dir.path());
        if (row.damage)
            row.damage(dir / "x.zip");
        std::filesystem::create_directory(dir / "dest");
        Progress progress;
        std::optional<ArchiveFailure> failure = failureOf([&] {
            ZIPArchiveEngine(row.password).extract(dir / "x.zip", {}, dir / "dest", progress);
        });
        EXPECT_EQ(failure, row.failure) << row.name;
        if (row.failure) {
            EXPECT_TRUE(std::filesystem::is_empty(dir / "dest")) << row.name;
            continue;
        }
        EXPECT_TRUE(readFile(dir / "dest/x/big.bin") == bytes) << row.name;
        EXPECT_EQ(modeOf(dir / "dest/x/big.bin"), 0640u) << row.name;
        EXPECT_EQ(progress.totalUnitCount(), static_cast<std::int64_t>(bytes.size())) << row.name;
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount()) << row.name;
    }
}

// A cancel in the middle of a spread entry stops its threads, and nothing stays behind.
TEST(ZIPLargeEntryTest, CancellationStopsTheSpreadCopy) {
    for (const char* level : {"-0", "-1"}) {
        TemporaryDirectory dir;
        writeFile(dir / "big.bin", sampleBytes(32 << 20, 9, true));
        runChecked(std::string("zip -q ") + level + " x.zip big.bin", dir.path());
        std::filesystem::create_directory(dir / "dest");
        Progress progress;
        progress.setCompletionObserver([&](std::int64_t completed) {
            if (completed >= (4 << 20))
                progress.cancel();
        });
        EXPECT_TRUE(endsInCancellation([&] {
            ZIPArchiveEngine().extract(dir / "x.zip", {}, dir / "dest", progress);
        })) << level;
        EXPECT_LT(progress.completedUnitCount(), progress.totalUnitCount()) << level;
        EXPECT_TRUE(std::filesystem::is_empty(dir / "dest")) << level;
    }
}

} // namespace
} // namespace vexa
