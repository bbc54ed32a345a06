#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RAREditor.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::rar;

const std::string kDamagedData = "DAMAGED-FILE-CONTENT-0123456789\n";

class RARRepairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder / "src/a.txt", "first file\n");
        writeFile(folder / "src/b.txt", kDamagedData);
        writeFile(folder / "src/c.txt", "last file\n");
        fs::create_directory(folder / "out");
        editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
    }

    // Stored, so that one flipped byte of b.txt's data makes only b.txt fail its test. A
    // small archive's recovery record may hold the data again; only the first copy is hit.
    fs::path makeDamaged(const std::string& switches) {
        makeArchive(damaged, folder / "src", "-m0 " + switches, "a.txt b.txt c.txt");
        std::string bytes = readFile(damaged);
        auto at = bytes.find("DAMAGED-FILE-CONTENT");
        EXPECT_NE(at, std::string::npos);
        bytes[at + 10] ^= 0x5A;
        writeFile(damaged, bytes);
        return damaged;
    }

    TemporaryDirectory folder;
    fs::path log = folder / "runs.log";
    fs::path damaged = folder / "damaged.rar";
    fs::path destination = folder / "out/repaired.rar";
    RAREditor editor;
    Progress progress;
};

TEST_F(RARRepairTest, TheDamagedFileIsNeverItsOwnDestinationNorReachedOnlyByALink) {
    makeDamaged("-rr5%");
    const std::string before = readFile(damaged);
    fs::create_symlink("../damaged.rar", folder / "out/enlace.rar");
    for (const fs::path& same : {damaged, folder / "out/enlace.rar"}) {
        EXPECT_EQ(failureOf([&] { editor.repair(damaged, same, progress); }),
                  ArchiveFailure::rarEdit(
                      "elige otro nombre para la copia reparada; el RAR dañado no se sustituye."))
            << same;
        EXPECT_EQ(readFile(damaged), before);
    }
    EXPECT_TRUE(recordedRuns(log).empty());
    // Repaired through a relative link, the copy is the damaged file's, not a dangling link's.
    auto [result, fixed] = editor.repair(folder / "out/enlace.rar", destination, progress);
    EXPECT_TRUE(fixed);
    EXPECT_EQ(unrarBytes(result, "b.txt"), kDamagedData);
    EXPECT_EQ(namesIn(folder / "out"), (std::set<std::string>{"enlace.rar", "repaired.rar"}));
}

TEST_F(RARRepairTest, RecoveryRecordGivesFixedArchiveWithEveryEntryIntact) {
    makeDamaged("-rr5%");
    const std::string before = readFile(damaged);
    auto [result, fixed] = editor.repair(damaged, destination, progress);
    EXPECT_EQ(result, destination);
    EXPECT_TRUE(fixed);
    EXPECT_EQ(unrarBytes(destination, "b.txt"), kDamagedData);
    EXPECT_EQ(readFile(damaged), before);
    EXPECT_EQ(namesIn(folder / "out"), std::set<std::string>{"repaired.rar"});
    EXPECT_EQ(progress.completedUnitCount(), 2);

    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u) << "a fixed archive is neither tested nor trimmed";
    ASSERT_EQ(runs[0].size(), 6u);
    EXPECT_EQ(runs[0][0], "r");
    EXPECT_TRUE(runs[0][4].starts_with("-w" + (folder / "out/.vexa-replace-").string()));
    EXPECT_EQ(runs[0][5], "dañado.rar");
}

TEST_F(RARRepairTest, RebuiltArchiveLosesTheEntriesThatStillFail) {
    makeDamaged("");
    writeFile(destination, "an older file in the way");
    auto [result, fixed] = editor.repair(damaged, destination, progress);
    EXPECT_FALSE(fixed);
    EXPECT_EQ(listedPaths(destination), (std::set<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(unrarBytes(destination, "c.txt"), "last file\n");
    EXPECT_EQ(namesIn(folder / "out"), std::set<std::string>{"repaired.rar"});

    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1][0], "d");
    EXPECT_EQ((std::vector<std::string>(runs[1].end() - 3, runs[1].end())),
              (std::vector<std::string>{"rebuilt.dañado.rar", "--", "b.txt"}));
}

TEST_F(RARRepairTest, RebuiltArchiveWithoutFailingEntriesIsNotTrimmed) {
    makeArchive(damaged, folder / "src", "-m0", "a.txt c.txt");
    auto [result, fixed] = editor.repair(damaged, destination, progress);
    EXPECT_FALSE(fixed);
    EXPECT_EQ(listedPaths(destination), (std::set<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(recordedRuns(log).size(), 1u);
}

TEST_F(RARRepairTest, PasswordOfHiddenNamesReachesBothCommandsOnInput) {
    writeFile(folder / "src/big.bin", testing::sampleBytes(300000, 11, false));
    makeArchive(damaged, folder / "src", "-m0 -hp -rr5%", "a.txt big.bin", "pw");
    std::string bytes = readFile(damaged);
    bytes[bytes.size() / 3] ^= 0x5A;
    writeFile(damaged, bytes);
    editor.password = "pw";
    auto [result, fixed] = editor.repair(damaged, destination, progress);
    EXPECT_TRUE(fixed);
    EXPECT_EQ(unrarBytes(destination, "big.bin", "pw"), readFile(folder / "src/big.bin"));
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][5], "-p");
    for (const auto& argument : runs[0])
        EXPECT_EQ(argument.find("pw"), std::string::npos);
}

TEST_F(RARRepairTest, ProgramOutcomeDecidesBetweenFailureAndResult) {
    makeDamaged("-rr5%");
    struct Row {
        const char* what;
        std::string script;
        std::optional<std::string> message; // none: the repair succeeds
    };
    const std::vector<Row> rows{
        {"fails, writes nothing", "exit 3", "el compresor terminó con el código 3."},
        {"succeeds, writes nothing", "exit 0", "no se pudo reparar el archivo."},
        {"fails after writing its output", "/usr/bin/rar \"$@\" >/dev/null; exit 3", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(destination);
        writeFile(folder / "scripted-rar", "#!/bin/bash\n" + row.script + "\n");
        fs::permissions(folder / "scripted-rar", fs::perms(0755));
        editor.executable = folder / "scripted-rar";
        auto failure = failureOf([&] { editor.repair(damaged, destination, progress); });
        if (row.message) {
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->message(), ArchiveFailure::rarEdit(*row.message).message());
            EXPECT_TRUE(namesIn(folder / "out").empty());
        } else {
            EXPECT_FALSE(failure);
            EXPECT_EQ(unrarBytes(destination, "b.txt"), kDamagedData);
        }
    }
}

TEST_F(RARRepairTest, RefusalsAndCancellationWriteNothing) {
    makeDamaged("-rr5%");
    auto noProgram = failureOf([&] { RAREditor().repair(damaged, destination, progress); });
    ASSERT_TRUE(noProgram);
    EXPECT_EQ(noProgram->kind(), ArchiveFailure::Case::readOnlyRAR);

    progress.cancel();
    EXPECT_THROW(editor.repair(damaged, destination, progress), CancellationError);
    EXPECT_TRUE(namesIn(folder / "out").empty());
    EXPECT_TRUE(recordedRuns(log).empty());
}

// The model asks for a password only when names are hidden; data it cannot test without one
// must not make a successful repair fail.
TEST_F(RARRepairTest, ArchiveWithEncryptedDataButVisibleNamesIsRepairedWithoutPassword) {
    writeFile(folder / "src/big.bin", testing::sampleBytes(300000, 5, false));
    for (bool recovery : {true, false}) {
        SCOPED_TRACE(recovery ? "fixed" : "rebuilt");
        fs::remove(damaged);
        makeArchive(damaged, folder / "src", recovery ? "-m0 -p -rr5%" : "-m0 -p", "a.txt big.bin",
                    "pw");
        std::string bytes = readFile(damaged);
        bytes[bytes.size() / 3] ^= 0x5A;
        writeFile(damaged, bytes);
        auto [result, fixed] = editor.repair(damaged, destination, progress);
        EXPECT_EQ(fixed, recovery);
        EXPECT_EQ(listedPaths(destination), (std::set<std::string>{"a.txt", "big.bin"}));
        if (recovery) {
            EXPECT_EQ(unrarBytes(destination, "big.bin", "pw"), readFile(folder / "src/big.bin"));
        }
    }
}

} // namespace
} // namespace vexa
