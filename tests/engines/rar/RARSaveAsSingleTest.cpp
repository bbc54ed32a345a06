#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RAREditor.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::rar;

class RARSaveAsSingleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::rar::makeSampleTree(folder / "src");
        fs::create_directory(folder / "set");
        fs::create_directory(folder / "out");
        editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
        // The sources' links folder goes to the temporary folder: a private one, out of reach
        // of other programs' sweeps, which also shows what is left there.
        fs::create_directory(folder / "tmp");
        if (const char* previous = std::getenv("TMPDIR"))
            savedTemporary = previous;
        ::setenv("TMPDIR", (folder / "tmp").c_str(), 1);
    }
    void TearDown() override {
        EXPECT_TRUE(namesIn(folder / "tmp").empty());
        if (savedTemporary)
            ::setenv("TMPDIR", savedTemporary->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

    // At least three volumes: the random data of big.bin does not shrink.
    fs::path makeSet(const std::string& switches,
                     const std::optional<std::string>& password = std::nullopt) {
        makeArchive(folder / "set/viaje.rar", folder / "src", "-r -v64k " + switches,
                    "docs empty.txt big.bin", password);
        EXPECT_TRUE(fs::exists(folder / "set/viaje.part3.rar"));
        return folder / "set/viaje.part1.rar";
    }

    TemporaryDirectory folder;
    fs::path log = folder / "runs.log";
    fs::path destination = folder / "out/viaje — único.rar";
    RAREditor editor;
    Progress progress;
    std::optional<std::string> savedTemporary;
};

TEST_F(RARSaveAsSingleTest, KeepsEntriesHiddenNamesAndRecoveryRecordInOneFile) {
    auto first = makeSet("-hp -rr5%", "pw");
    editor.password = "pw";
    EXPECT_EQ(editor.saveAsSingleArchive(first, destination, progress), destination);

    Progress listing;
    auto summary = RARArchiveEngine("pw").list(destination, listing);
    EXPECT_TRUE(summary.volumes.empty());
    EXPECT_TRUE(summary.hasRecoveryRecord);
    EXPECT_TRUE(rarArchiveHidesNames(destination));
    EXPECT_EQ(listedPaths(destination, "pw"), listedPaths(first, "pw"));
    EXPECT_EQ(unrarBytes(destination, "big.bin", "pw"), readFile(folder / "src/big.bin"));
    EXPECT_EQ(namesIn(folder / "out"), std::set<std::string>{"viaje — único.rar"});
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());

    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    auto holds = [&](const std::string& a) {
        return std::find(runs[0].begin(), runs[0].end(), a) != runs[0].end();
    };
    EXPECT_TRUE(holds("-hp"));
    EXPECT_TRUE(holds("-rr5%"));
    EXPECT_TRUE(holds("-m3"));
    EXPECT_TRUE(std::none_of(runs[0].begin(), runs[0].end(),
                             [](const std::string& a) { return a.starts_with("-v"); }));
}

TEST_F(RARSaveAsSingleTest, PlainSetKeepsEveryEntryAtItsOwnPath) {
    auto first = makeSet("");
    editor.saveAsSingleArchive(first, destination, progress);
    EXPECT_EQ(listedPaths(destination),
              (std::set<std::string>{"docs/", "docs/a.txt", "docs/sub/", "docs/sub/b.txt",
                                     "empty.txt", "big.bin"}));
    EXPECT_FALSE(rarArchiveHidesNames(destination));
    EXPECT_EQ(unrarBytes(destination, "docs/sub/b.txt"), "hello from b\n");
}

TEST_F(RARSaveAsSingleTest, FailuresLeaveNothingAtTheDestination) {
    auto first = makeSet("-p", "pw");
    const auto volumes = namesIn(folder / "set");
    editor.password = "wrong";
    auto wrong = failureOf([&] { editor.saveAsSingleArchive(first, destination, progress); });
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->kind(), ArchiveFailure::Case::wrongPassword);

    editor.password = "pw";
    editor.executable = testing::rar::makeRecordingRar(folder.path(), log, 2);
    auto failed = failureOf([&] { editor.saveAsSingleArchive(first, destination, progress); });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->kind(), ArchiveFailure::Case::rarCreation);

    editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
    progress.cancel();
    EXPECT_THROW(editor.saveAsSingleArchive(first, destination, progress), CancellationError);
    EXPECT_TRUE(namesIn(folder / "out").empty());
    EXPECT_EQ(namesIn(folder / "set"), volumes);
}

TEST_F(RARSaveAsSingleTest, RefusesToWriteOverAPartOfTheSet) {
    auto first = makeSet("");
    fs::create_directory_symlink(folder / "set", folder / "setlink");
    const auto names = namesIn(folder / "set");
    std::map<std::string, std::string> bytes;
    for (const auto& name : names)
        bytes[name] = readFile(folder / "set" / name);

    const struct {
        const char* label;
        fs::path destination;
    } cases[] = {
        {"the part opened", first},
        {"a later part", folder / "set/viaje.part2.rar"},
        {"the last part through a link", folder / "setlink/viaje.part3.rar"},
        {"a part written with dot-dot", folder / "out/../set/viaje.part2.rar"},
    };
    for (const auto& c : cases) {
        auto failure =
            failureOf([&] { editor.saveAsSingleArchive(first, c.destination, progress); });
        ASSERT_TRUE(failure) << c.label;
        EXPECT_EQ(failure->kind(), ArchiveFailure::Case::sourceIsArchive) << c.label;
        EXPECT_EQ(namesIn(folder / "set"), names) << c.label;
        for (const auto& [name, content] : bytes)
            EXPECT_EQ(readFile(folder / "set" / name), content) << c.label << ": " << name;
    }
    EXPECT_TRUE(recordedRuns(log).empty());
}

} // namespace
} // namespace vexa
