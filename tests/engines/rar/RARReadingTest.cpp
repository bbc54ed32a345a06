#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RARReader.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <zlib.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using Case = ArchiveFailure::Case;

// "contraseña" with the ñ precomposed and decomposed.
const std::string nfcPassword = "contrase\xc3\xb1"
                                "a";
const std::string nfdPassword = "contrasen\xcc\x83"
                                "a";

template <typename Operation> std::optional<Case> failureOf(Operation&& operation) {
    try {
        operation();
    } catch (const ArchiveFailure& failure) {
        return failure.kind();
    }
    return std::nullopt;
}

class RARReadingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new TemporaryDirectory();
        sources = new fs::path(*folder / "src");
        testing::rar::makeSampleTree(*sources);
        fs::create_symlink("docs/a.txt", *sources / "link");
        const std::string all = "docs empty.txt big.bin";
        using testing::rar::makeArchive;
        makeArchive(*folder / "plain.rar", *sources, "", all);
        makeArchive(*folder / "recovery.rar", *sources, "-rr5%", "docs");
        makeArchive(*folder / "hidden.rar", *sources, "-hp", all, "pw");
        makeArchive(*folder / "nfd.rar", *sources, "-hp", "docs", nfdPassword);
        fs::create_directories(*sources / "only/inner");
        makeArchive(*folder / "folders.rar", *sources, "-hp", "only", "pw");
        makeArchive(*folder / "data.rar", *sources, "-p", all, "pw");
        makeArchive(*folder / "solid.rar", *sources, "-s", all);
        makeArchive(*folder / "set.rar", *sources, "-m0 -v64k", "big.bin docs");
        makeArchive(*folder / "self.exe", *sources, "-sfx/usr/lib/default.sfx", "docs");
        makeArchive(*folder / "link.rar", *sources, "-ol", "docs link");
        fs::create_hard_link(*sources / "docs/a.txt", *sources / "again.txt");
        makeArchive(*folder / "hardlink.rar", *sources, "-oh", "docs/a.txt again.txt");
        testing::rar::makeDamagedArchive(*folder / "damaged.rar", *sources);
    }
    static void TearDownTestSuite() {
        delete sources;
        delete folder;
    }

    static fs::path at(const std::string& name) { return *folder / name; }
    static ArchiveSummary list(const std::string& name,
                               std::optional<std::string> password = std::nullopt,
                               bool exact = false) {
        Progress progress;
        return RARArchiveEngine(std::move(password), exact).list(at(name), progress);
    }
    static std::vector<std::string> pathsOf(const ArchiveSummary& summary) {
        std::vector<std::string> paths;
        for (const auto& entry : summary.entries)
            paths.push_back(entry.path);
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    static TemporaryDirectory* folder;
    static fs::path* sources;
};

TemporaryDirectory* RARReadingTest::folder = nullptr;
fs::path* RARReadingTest::sources = nullptr;

const std::vector<std::string> samplePaths = {"big.bin",   "docs/",          "docs/a.txt",
                                              "docs/sub/", "docs/sub/b.txt", "empty.txt"};

TEST_F(RARReadingTest, ListsEntriesOfAPlainArchive) {
    ArchiveSummary summary = list("plain.rar");
    EXPECT_EQ(pathsOf(summary), samplePaths);
    EXPECT_EQ(summary.format, ArchiveFormat::rar);
    EXPECT_EQ(summary.url, at("plain.rar"));
    EXPECT_TRUE(summary.volumes.empty());
    EXPECT_FALSE(summary.hasRecoveryRecord);
    for (const auto& entry : summary.entries) {
        EXPECT_FALSE(entry.isEncrypted) << entry.path;
        EXPECT_EQ(entry.isDirectory, entry.path.ends_with('/')) << entry.path;
        if (entry.path == "big.bin") {
            EXPECT_EQ(entry.size, 200000);
            EXPECT_GT(entry.compressedSize, 0);
        }
        if (entry.isDirectory) {
            EXPECT_EQ(entry.size, 0);
        }
    }
    EXPECT_TRUE(list("recovery.rar").hasRecoveryRecord);
    EXPECT_EQ(pathsOf(list("self.exe")),
              (std::vector<std::string>{"docs/", "docs/a.txt", "docs/sub/", "docs/sub/b.txt"}));
}

TEST_F(RARReadingTest, PasswordsOfEncryptedHeaders) {
    struct Row {
        const char* archive;
        std::optional<std::string> password;
        bool exact;
        std::optional<Case> failure;
    };
    const std::vector<Row> rows = {
        {"hidden.rar", std::nullopt, false, Case::passwordRequired},
        {"hidden.rar", "wrong", false, Case::wrongPassword},
        {"hidden.rar", "pw", false, std::nullopt},
        {"nfd.rar", nfcPassword, false, std::nullopt},
        {"nfd.rar", nfcPassword, true, Case::wrongPassword},
        {"nfd.rar", nfdPassword, true, std::nullopt},
        {"data.rar", std::nullopt, false, std::nullopt},
    };
    for (const auto& row : rows) {
        std::optional<Case> failure =
            failureOf([&] { list(row.archive, row.password, row.exact); });
        EXPECT_EQ(failure, row.failure) << row.archive << " " << row.password.value_or("none");
    }
    EXPECT_EQ(pathsOf(list("hidden.rar", "pw")), samplePaths);
    for (const auto& entry : list("data.rar").entries)
        EXPECT_EQ(entry.isEncrypted, !entry.isDirectory) << entry.path;

    EXPECT_TRUE(rarArchiveHidesNames(at("hidden.rar")));
    EXPECT_FALSE(rarArchiveHidesNames(at("data.rar")));
    EXPECT_FALSE(rarArchiveHidesNames(at("plain.rar")));
    EXPECT_FALSE(rarArchiveHidesNames(at("absent.rar")));
}

TEST_F(RARReadingTest, VolumeSets) {
    ArchiveSummary summary = list("set.part1.rar");
    EXPECT_EQ(summary.volumes, (std::vector<fs::path>{at("set.part1.rar"), at("set.part2.rar"),
                                                      at("set.part3.rar"), at("set.part4.rar")}));
    int bigEntries = 0;
    for (const auto& entry : summary.entries) {
        if (entry.path == "big.bin") {
            ++bigEntries;
            EXPECT_EQ(entry.size, 200000);
            EXPECT_EQ(entry.compressedSize, -1);
        }
    }
    EXPECT_EQ(bigEntries, 1);
    EXPECT_EQ(failureOf([] { list("set.part2.rar"); }), Case::notFirstVolume);

    TemporaryDirectory gap;
    for (const char* name : {"set.part1.rar", "set.part2.rar", "set.part4.rar"})
        fs::copy_file(at(name), gap / name);
    Progress progress;
    try {
        RARArchiveEngine().list(gap / "set.part1.rar", progress);
        FAIL() << "a missing volume was not noticed";
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, ArchiveFailure::missingVolume("set.part3.rar"));
    }
}

// The library widens paths it cannot decode in the C locale into private characters; the
// volumes it reports must still name the parts on disk.
TEST_F(RARReadingTest, VolumeNamesBeyondASCII) {
    for (const std::string place : {"a\xc3\xb1o", "raw\xff"}) {
        TemporaryDirectory parent;
        fs::path set = parent / place;
        fs::create_directory(set);
        for (const char* name :
             {"set.part1.rar", "set.part2.rar", "set.part3.rar", "set.part4.rar"})
            fs::copy_file(at(name), set / name);
        Progress progress;
        ArchiveSummary summary = RARArchiveEngine().list(set / "set.part1.rar", progress);
        EXPECT_EQ(summary.volumes,
                  (std::vector<fs::path>{set / "set.part1.rar", set / "set.part2.rar",
                                         set / "set.part3.rar", set / "set.part4.rar"}))
            << place;
    }

    TemporaryDirectory gap;
    const std::string name = "a\xc3\xb1o";
    testing::rar::makeArchive(gap / (name + ".rar"), *sources, "-m0 -v64k", "big.bin");
    fs::remove(gap / (name + ".part3.rar"));
    Progress progress;
    try {
        RARArchiveEngine().list(gap / (name + ".part1.rar"), progress);
        FAIL() << "a missing volume was not noticed";
    } catch (const ArchiveFailure& failure) {
        EXPECT_EQ(failure, ArchiveFailure::missingVolume(name + ".part3.rar"));
    }
}

TEST_F(RARReadingTest, LinksFailTheListing) {
    for (const char* archive : {"link.rar", "hardlink.rar"}) {
        Progress progress;
        try {
            RARArchiveEngine().list(at(archive), progress);
            ADD_FAILURE() << archive << " listed";
        } catch (const ArchiveFailure& failure) {
            EXPECT_EQ(failure, ArchiveFailure::symbolicLink("RAR")) << archive;
        }
    }
}

TEST_F(RARReadingTest, VerifyPassword) {
    struct Row {
        const char* archive;
        std::optional<std::string> password;
        bool exact;
        std::optional<std::string> result;
        std::optional<Case> failure;
    };
    const std::vector<Row> rows = {
        {"plain.rar", std::nullopt, false, std::nullopt, std::nullopt},
        {"plain.rar", "pw", false, std::nullopt, std::nullopt},
        {"data.rar", std::nullopt, false, std::nullopt, Case::passwordRequired},
        {"data.rar", "wrong", false, std::nullopt, Case::wrongPassword},
        {"data.rar", "pw", true, "pw", std::nullopt},
        {"hidden.rar", std::nullopt, false, std::nullopt, Case::passwordRequired},
        {"hidden.rar", "pw", false, "pw", std::nullopt},
        {"nfd.rar", nfcPassword, false, nfdPassword, std::nullopt},
        {"nfd.rar", nfcPassword, true, std::nullopt, Case::wrongPassword},
        // Encrypted headers over folders alone: no entry is flagged, the password still counts.
        {"folders.rar", "pw", false, "pw", std::nullopt},
        {"folders.rar", "wrong", false, std::nullopt, Case::wrongPassword},
        {"folders.rar", std::nullopt, false, std::nullopt, Case::passwordRequired},
    };
    for (const auto& row : rows) {
        Progress progress;
        std::optional<std::string> result;
        std::optional<Case> failure = failureOf([&] {
            result = RARArchiveEngine::verifyPassword(at(row.archive), progress, row.password,
                                                      row.exact);
        });
        EXPECT_EQ(failure, row.failure) << row.archive << " " << row.password.value_or("none");
        EXPECT_EQ(result, row.result) << row.archive << " " << row.password.value_or("none");
    }
}

TEST_F(RARReadingTest, DamagedEntriesAreCollectedWhileTheWalkGoesOn) {
    Progress progress;
    EXPECT_EQ(RARArchiveEngine::damagedEntries(at("damaged.rar"), progress, std::nullopt),
              std::vector<std::string>{"b.txt"});
    EXPECT_TRUE(RARArchiveEngine::damagedEntries(at("plain.rar"), progress, std::nullopt).empty());
    // With a password, bad data reads as a wrong password and ends the walk.
    EXPECT_EQ(
        failureOf([&] { RARArchiveEngine::damagedEntries(at("data.rar"), progress, "wrong"); }),
        Case::wrongPassword);
}

TEST_F(RARReadingTest, ChecksumsMatchZlibOverTheSources) {
    // Walked by several children, by one (solid, volumes).
    for (const char* archive : {"plain.rar", "data.rar", "solid.rar", "set.part1.rar"}) {
        Progress progress;
        std::optional<std::string> password;
        if (std::string(archive) == "data.rar")
            password = "pw";
        auto checksums = RARArchiveEngine::entryChecksums(at(archive), progress, password, false);
        ArchiveSummary summary = list(archive);
        std::int64_t expectedUnits = 0;
        for (const auto& entry : summary.entries) {
            ASSERT_TRUE(checksums.contains(entry.path)) << archive << " " << entry.path;
            const auto& [item, crc] = checksums.at(entry.path);
            EXPECT_EQ(item, entry);
            expectedUnits += entry.size == 0 ? 1 : entry.size;
            if (entry.isDirectory) {
                EXPECT_FALSE(crc) << entry.path;
                continue;
            }
            std::string bytes = testing::readFile(*sources / entry.path);
            auto expected = static_cast<std::uint32_t>(
                crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
            EXPECT_EQ(crc, expected) << archive << " " << entry.path;
        }
        EXPECT_EQ(checksums.size(), summary.entries.size());
        EXPECT_EQ(progress.completedUnitCount(), expectedUnits) << archive;
    }
}

// Children of this process, whichever of its threads started them.
std::size_t childProcessCount() {
    std::size_t count = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (pid_t pid; children >> pid;)
            ++count;
    }
    return count;
}

TEST_F(RARReadingTest, OnlyAnArchiveThatCanBeSharedStartsSeveralWalkers) {
    const std::size_t before = childProcessCount();
    for (const auto& [archive, walkers] :
         {std::pair<const char*, unsigned>{"plain.rar", rarWalkerCount()},
          {"solid.rar", 1u},
          {"set.part1.rar", 1u}}) {
        Progress progress;
        RARWalkPlan plan(rarchild::Test::all, rarchild::Data::checksum);
        plan.shards = rarWalkerCount();
        RARReader reader(at(archive), std::nullopt, progress, plan);
        EXPECT_EQ(childProcessCount() - before, walkers) << archive;
    }
}

TEST_F(RARReadingTest, ReaderMapsBridgeCodes) {
    struct Row {
        std::int32_t code;
        std::optional<std::string> password;
        std::optional<ArchiveFailure> failure;
    };
    const std::vector<Row> rows = {
        {0, std::nullopt, std::nullopt},
        {22, std::nullopt, ArchiveFailure::passwordRequired()},
        {24, "pw", ArchiveFailure::wrongPassword()},
        {12, "pw", ArchiveFailure::wrongPassword()},
        {12, std::nullopt,
         ArchiveFailure::rarFailure("Archivo dañado o no compatible (código 12).")},
        {1002, std::nullopt, ArchiveFailure::symbolicLink("RAR")},
        {1004, std::nullopt, ArchiveFailure::notFirstVolume()},
        {-5, std::nullopt,
         ArchiveFailure::rarFailure("Archivo dañado o no compatible (código -5).")},
    };
    for (const auto& row : rows) {
        std::optional<ArchiveFailure> failure;
        try {
            throwRARError(row.code, row.password);
        } catch (const ArchiveFailure& thrown) {
            failure = thrown;
        }
        EXPECT_EQ(failure, row.failure) << row.code;
    }
}

TEST_F(RARReadingTest, CancelledProgressStopsBeforeOpening) {
    Progress progress;
    progress.cancel();
    EXPECT_THROW(RARArchiveEngine().list(at("plain.rar"), progress), CancellationError);
}

TEST_F(RARReadingTest, ASecondReaderWaitsUntilTheFirstIsClosed) {
    Progress progress;
    auto first = std::make_unique<RARReader>(at("plain.rar"), std::nullopt, progress);
    std::atomic<bool> opened{false};
    std::thread other([&] {
        Progress otherProgress;
        RARReader second(at("plain.rar"), std::nullopt, otherProgress);
        opened = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(opened);
    first.reset();
    other.join();
    EXPECT_TRUE(opened);
}

} // namespace
} // namespace vexa
