#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARStreamContext.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <zlib.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using Case = ArchiveFailure::Case;

class RARExtractionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new TemporaryDirectory();
        sources = new fs::path(*folder / "src");
        testing::rar::makeSampleTree(*sources);
        using testing::rar::makeArchive;
        makeArchive(*folder / "fotos.rar", *sources, "", "docs empty.txt big.bin");
        makeArchive(*folder / "data.rar", *sources, "-p", "docs big.bin", "pw");
        makeArchive(*folder / "set.rar", *sources, "-m0 -v64k", "big.bin docs");
        testing::rar::makeDamagedArchive(*folder / "damaged.rar", *sources);
    }
    static void TearDownTestSuite() {
        delete sources;
        delete folder;
    }

    static fs::path at(const std::string& name) { return *folder / name; }

    // Everything below `root`, as relative paths, folders ending in "/".
    static std::set<std::string> treeOf(const fs::path& root) {
        std::set<std::string> tree;
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            std::string relative = fs::relative(item.path(), root).string();
            tree.insert(item.is_directory() ? relative + "/" : relative);
        }
        return tree;
    }

    static void expectSameFile(const fs::path& extracted, const std::string& sourcePath) {
        EXPECT_EQ(testing::readFile(extracted), testing::readFile(*sources / sourcePath))
            << sourcePath;
    }

    static TemporaryDirectory* folder;
    static fs::path* sources;
};

TemporaryDirectory* RARExtractionTest::folder = nullptr;
fs::path* RARExtractionTest::sources = nullptr;

TEST_F(RARExtractionTest, SelectionRule) {
    struct Row {
        const char* path;
        std::set<std::string> requested;
        bool selected;
    };
    const std::vector<Row> rows = {
        {"a.txt", {}, true},
        {"a.txt", {"a.txt"}, true},
        {"docs/a.txt", {"docs/"}, true},
        {"docs/a.txt", {"docs"}, true},
        {"docs/", {"docs"}, true},
        {"docs/sub/b.txt", {"docs/"}, true},
        {"docsx/a.txt", {"docs"}, false},
        {"docs", {"docs/a.txt"}, false},
        {"b.txt", {"a.txt", "docs/"}, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isSelectedPath(row.path, row.requested), row.selected) << row.path;
}

TEST_F(RARExtractionTest, ExtractsEverythingUnderAFreeNameWithAttributes) {
    TemporaryDirectory destination;
    fs::create_directory(destination / "fotos");
    fs::create_directory(destination / "fotos 2");
    Progress progress;
    fs::path result = RARArchiveEngine().extract(at("fotos.rar"), {}, destination.path(), progress);

    EXPECT_EQ(result, destination / "fotos 3");
    EXPECT_EQ(
        treeOf(destination.path()),
        (std::set<std::string>{"fotos/", "fotos 2/", "fotos 3/", "fotos 3/docs/",
                               "fotos 3/docs/a.txt", "fotos 3/docs/sub/", "fotos 3/docs/sub/b.txt",
                               "fotos 3/empty.txt", "fotos 3/big.bin"}));
    for (const char* name : {"docs/a.txt", "docs/sub/b.txt", "empty.txt", "big.bin"}) {
        expectSameFile(result / name, name);
        auto attributes = files::attributesOfItem(result / name);
        EXPECT_EQ(std::chrono::system_clock::to_time_t(attributes.modificationDate),
                  testing::rar::sampleTime)
            << name;
        EXPECT_EQ(attributes.permissions, std::string(name) == "docs/a.txt" ? 0755u : 0644u)
            << name;
    }
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    // The empty file and the two folders count one unit each.
    EXPECT_EQ(progress.totalUnitCount(), 200000 + 13 + 13 + 1 + 2);
}

TEST_F(RARExtractionTest, ExtractsOnlyTheChosenFolder) {
    for (const char* chosen : {"docs/", "docs"}) {
        TemporaryDirectory destination;
        Progress progress;
        fs::path result =
            RARArchiveEngine().extract(at("fotos.rar"), {chosen}, destination.path(), progress);
        EXPECT_EQ(treeOf(result),
                  (std::set<std::string>{"docs/", "docs/a.txt", "docs/sub/", "docs/sub/b.txt"}))
            << chosen;
        expectSameFile(result / "docs/sub/b.txt", "docs/sub/b.txt");
    }
}

TEST_F(RARExtractionTest, FailuresLeaveTheDestinationUntouched) {
    struct Row {
        const char* archive;
        std::optional<std::string> password;
        std::set<std::string> requested;
        Case failure;
    };
    const std::vector<Row> rows = {
        // The damaged b.txt lies before the requested c.txt and is tested on the way.
        {"damaged.rar", std::nullopt, {"c.txt"}, Case::rarFailure},
        {"data.rar", "wrong", {}, Case::wrongPassword},
        {"data.rar", std::nullopt, {}, Case::passwordRequired},
    };
    for (const auto& row : rows) {
        TemporaryDirectory destination;
        Progress progress;
        try {
            RARArchiveEngine(row.password)
                .extract(at(row.archive), row.requested, destination.path(), progress);
            ADD_FAILURE() << row.archive << " extracted";
        } catch (const ArchiveFailure& failure) {
            EXPECT_EQ(failure.kind(), row.failure) << row.archive;
        }
        EXPECT_TRUE(fs::is_empty(destination.path())) << row.archive;
    }
}

TEST_F(RARExtractionTest, DecryptsWithTheRightPassword) {
    TemporaryDirectory destination;
    Progress progress;
    fs::path result =
        RARArchiveEngine("pw").extract(at("data.rar"), {}, destination.path(), progress);
    expectSameFile(result / "big.bin", "big.bin");
    expectSameFile(result / "docs/a.txt", "docs/a.txt");
}

TEST_F(RARExtractionTest, JoinsAFileSpanningVolumes) {
    TemporaryDirectory destination;
    Progress progress;
    fs::path result =
        RARArchiveEngine().extract(at("set.part1.rar"), {}, destination.path(), progress);
    EXPECT_EQ(result, destination / "set.part1");
    expectSameFile(result / "big.bin", "big.bin");
    expectSameFile(result / "docs/sub/b.txt", "docs/sub/b.txt");
}

TEST_F(RARExtractionTest, ExtractEntryPutsOneItemAtTheResult) {
    TemporaryDirectory place;
    Progress progress;
    ArchiveItem file{"docs/a.txt", 13, 13, false, false};
    RARArchiveEngine::extractEntry(file, at("fotos.rar"), place / "a copy.txt", progress, 104857600,
                                   std::nullopt, false);
    expectSameFile(place / "a copy.txt", "docs/a.txt");

    ArchiveItem docs{"docs/", 0, 0, true, false};
    RARArchiveEngine::extractEntry(docs, at("fotos.rar"), place / "docs copy", progress,
                                   std::nullopt, std::nullopt, false);
    EXPECT_EQ(treeOf(place / "docs copy"), (std::set<std::string>{"a.txt", "sub/", "sub/b.txt"}));
    expectSameFile(place / "docs copy/sub/b.txt", "docs/sub/b.txt");

    ArchiveItem big{"big.bin", 200000, 0, false, false};
    RARArchiveEngine::extractEntry(big, at("fotos.rar"), place / "big.bin", progress, std::nullopt,
                                   std::nullopt, false);
    expectSameFile(place / "big.bin", "big.bin");
}

TEST_F(RARExtractionTest, ExtractEntryRefusals) {
    struct Row {
        ArchiveItem entry;
        std::string result;
        std::optional<std::int64_t> limit;
        ArchiveFailure failure;
    };
    const std::vector<Row> rows = {
        {{"big.bin", 200000, 0, false, false},
         "big.bin",
         199999,
         ArchiveFailure::previewTooLarge()},
        {{"docs/", 0, 0, true, false}, "docs", 20, ArchiveFailure::previewTooLarge()},
        {{"docs/a.txt", 13, 0, false, false},
         "taken",
         std::nullopt,
         ArchiveFailure::conflict("taken")},
        {{"nothing.txt", 1, 0, false, false},
         "nothing.txt",
         std::nullopt,
         ArchiveFailure::corrupt("nothing.txt")},
    };
    for (const auto& row : rows) {
        TemporaryDirectory place;
        testing::writeFile(place / "taken", "mine");
        Progress progress;
        try {
            RARArchiveEngine::extractEntry(row.entry, at("fotos.rar"), place / row.result, progress,
                                           row.limit, std::nullopt, false);
            ADD_FAILURE() << row.entry.path << " extracted";
        } catch (const ArchiveFailure& failure) {
            EXPECT_EQ(failure, row.failure) << row.entry.path;
        }
        EXPECT_EQ(treeOf(place.path()), std::set<std::string>{"taken"}) << row.entry.path;
        EXPECT_EQ(testing::readFile(place / "taken"), "mine");
    }
}

TEST_F(RARExtractionTest, EntriesThatChangedSinceTheListingAreRefused) {
    const std::vector<std::vector<ArchiveItem>> selections = {
        {{"empty.txt", 5, 0, false, false}},   // another size
        {{"gone.txt", 0, 0, false, false}},    // not in the archive
        {{"docs/a.txt", 13, 13, false, true}}, // another encryption flag
    };
    for (const auto& selected : selections) {
        TemporaryDirectory place;
        Progress progress;
        try {
            RARArchiveEngine::writeEntries(
                at("fotos.rar"), selected, progress,
                [&](const ArchiveItem& entry) { return place / entry.path; }, std::nullopt, false);
            ADD_FAILURE() << selected.front().path << " written";
        } catch (const ArchiveFailure& failure) {
            EXPECT_EQ(failure, ArchiveFailure::archiveChanged()) << selected.front().path;
        }
    }
}

TEST_F(RARExtractionTest, CancellingInTheMiddleOfALargeEntryLeavesNothing) {
    TemporaryDirectory work;
    testing::runChecked("truncate -s 48M zeros.bin", work.path());
    testing::rar::makeArchive(work / "large.rar", work.path(), "-m0", "zeros.bin");
    const fs::path out = work / "out";
    const ArchiveItem zeros{"zeros.bin", 48 << 20, 0, false, false};
    // The staging folder of the one and the working folder of the other live in `out`.
    const std::vector<std::function<void(Progress&)>> operations = {
        [&](Progress& progress) {
            RARArchiveEngine().extract(work / "large.rar", {}, out, progress);
        },
        [&](Progress& progress) {
            RARArchiveEngine::extractEntry(zeros, work / "large.rar", out / "zeros.bin", progress,
                                           std::nullopt, std::nullopt, false);
        },
    };
    for (std::size_t operation = 0; operation < operations.size(); ++operation) {
        // The canceller races the extraction, so a busy machine may let one run finish first.
        bool cancelledMidEntry = false;
        for (int attempt = 0; attempt < 5 && !cancelledMidEntry; ++attempt) {
            fs::remove_all(out);
            fs::create_directory(out);
            Progress progress;
            std::atomic<bool> done{false};
            std::thread canceller([&] {
                while (!done && progress.completedUnitCount() == 0)
                    std::this_thread::yield();
                progress.cancel();
            });
            bool cancelled = false;
            try {
                operations[operation](progress);
            } catch (const CancellationError&) {
                cancelled = true;
            }
            done = true;
            canceller.join();
            if (cancelled) {
                EXPECT_TRUE(fs::is_empty(out)) << operation;
                cancelledMidEntry = progress.completedUnitCount() < progress.totalUnitCount();
            }
        }
        EXPECT_TRUE(cancelledMidEntry) << operation;
    }
}

TEST_F(RARExtractionTest, StreamContextGuardsTheListedSize) {
    TemporaryDirectory place;
    Progress progress;
    RARStreamContext context(progress);
    files::FileDescriptor file(files::createFile(place / "out", 0600));
    context.file = file.get();
    context.filePath = place / "out";
    context.limit = 10;
    const std::string twelve = "0123456789AB";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(twelve.data());

    EXPECT_EQ(rarStreamCallback(&context, nullptr, 0), 1);
    EXPECT_EQ(rarStreamCallback(&context, bytes, 6), 1);
    EXPECT_EQ(rarStreamCallback(&context, bytes, 6), -1);
    ASSERT_TRUE(context.error);
    try {
        std::rethrow_exception(context.error);
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, ArchiveFailure::corrupt("RAR"));
    }
    EXPECT_EQ(context.written, 6);
    EXPECT_EQ(testing::readFile(place / "out"), "012345");

    RARStreamContext tally(progress);
    tally.tally = true;
    EXPECT_EQ(rarStreamCallback(&tally, bytes, 12), 1);
    EXPECT_EQ(tally.crc, crc32(0, bytes, 12));
    EXPECT_EQ(rarStreamCallback(nullptr, bytes, 12), -1);
    progress.cancel();
    EXPECT_EQ(rarStreamCallback(&tally, nullptr, 0), -1);
}

} // namespace
} // namespace vexa
