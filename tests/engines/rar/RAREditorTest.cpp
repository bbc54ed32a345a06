#include "engines/rar/RAREditor.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::rar;
using Case = ArchiveFailure::Case;

const std::set<std::string> kSampleListing{"docs/",          "docs/a.txt", "docs/sub/",
                                           "docs/sub/b.txt", "Readme.txt", "Notes.TXT"};

class RAREditorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder / "src/docs/a.txt", "alpha\n");
        writeFile(folder / "src/docs/sub/b.txt", "beta\n");
        writeFile(folder / "src/Readme.txt", "read me\n");
        writeFile(folder / "src/Notes.TXT", "notes\n");
        fs::create_directory(folder / "work");
        editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
    }

    // The archive in its own folder, so that anything left beside it shows.
    fs::path makeSample(const std::string& switches = "",
                        const std::optional<std::string>& password = std::nullopt) {
        makeArchive(archive, folder / "src", "-r " + switches, "docs Readme.txt Notes.TXT",
                    password);
        return archive;
    }

    void expectUntouched(const std::string& before) {
        EXPECT_EQ(readFile(archive), before);
        EXPECT_EQ(namesIn(folder / "work"), std::set<std::string>{"sample.rar"});
    }

    TemporaryDirectory folder;
    fs::path log = folder / "runs.log";
    fs::path archive = folder / "work/sample.rar";
    RAREditor editor;
    Progress progress;
};

TEST_F(RAREditorTest, RenamesFilesAndFoldersWithEverythingBelow) {
    struct Row {
        ArchiveItem entry;
        std::string newName;
        std::set<std::string> expected;
    };
    const std::vector<Row> rows{
        {{"docs/a.txt", 6, 0, false},
         "b2.txt",
         {"docs/", "docs/b2.txt", "docs/sub/", "docs/sub/b.txt", "Readme.txt", "Notes.TXT"}},
        {{"docs/", 0, 0, true},
         "papers",
         {"papers/", "papers/a.txt", "papers/sub/", "papers/sub/b.txt", "Readme.txt", "Notes.TXT"}},
        // Only the letter case changes: the name collides with itself and is allowed.
        {{"Readme.txt", 8, 0, false},
         "README.TXT",
         {"docs/", "docs/a.txt", "docs/sub/", "docs/sub/b.txt", "README.TXT", "Notes.TXT"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.entry.path + " -> " + row.newName);
        fs::remove(archive);
        makeSample();
        EXPECT_EQ(editor.rename(archive, progress, row.entry, row.newName), archive);
        EXPECT_EQ(listedPaths(archive), row.expected);
        EXPECT_EQ(namesIn(folder / "work"), std::set<std::string>{"sample.rar"});
    }
    EXPECT_EQ(unrarBytes(archive, "README.TXT"), "read me\n");
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
}

TEST_F(RAREditorTest, RenamePassesParentPathAndOldNameToTheProgram) {
    makeSample();
    editor.rename(archive, progress, {"docs/sub/", 0, 0, true}, "deeper");
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(runs[0].size(), 9u);
    EXPECT_EQ(runs[0][0], "rn");
    EXPECT_EQ((std::vector<std::string>(runs[0].begin() + 1, runs[0].begin() + 4)),
              (std::vector<std::string>{"-cfg-", "-idcd", "-y"}));
    EXPECT_TRUE(runs[0][4].starts_with("-w" + (folder / "work/.vexa-replace-").string()));
    EXPECT_EQ(fs::path(runs[0][5]).filename(), "sample.rar");
    EXPECT_EQ(runs[0][6], "--");
    EXPECT_EQ(runs[0][7], "docs/sub");
    EXPECT_EQ(runs[0][8], "docs/deeper");
    EXPECT_EQ(unrarBytes(archive, "docs/deeper/b.txt"), "beta\n");
}

TEST_F(RAREditorTest, RefusesRenamesThatCollideOrNameWildcardsBeforeRunning) {
    makeSample();
    const std::string before = readFile(archive);
    struct Row {
        ArchiveItem entry;
        std::string newName;
        ArchiveFailure failure;
    };
    const std::vector<Row> rows{
        {{"Readme.txt", 8, 0, false}, "notes.txt", ArchiveFailure::conflict("notes.txt")},
        {{"Readme.txt", 8, 0, false}, "DOCS", ArchiveFailure::conflict("DOCS")},
        {{"Readme.txt", 8, 0, false}, "what?.txt", ArchiveFailure::rarEdit("")},
        {{"gone.txt", 1, 0, false}, "other.txt", ArchiveFailure::archiveChanged()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.newName);
        auto failure = failureOf([&] { editor.rename(archive, progress, row.entry, row.newName); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), row.failure.kind());
        if (row.failure.kind() == Case::conflict) {
            EXPECT_EQ(failure->payload(), row.failure.payload());
        }
        expectUntouched(before);
    }
    EXPECT_TRUE(recordedRuns(log).empty());
}

TEST_F(RAREditorTest, DeletesSortedNamesWithFoldersAndTheirContent) {
    makeSample();
    editor.deleteEntries(archive, progress, {"Readme.txt", "docs/"});
    EXPECT_EQ(listedPaths(archive), std::set<std::string>{"Notes.TXT"});
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ((std::vector<std::string>(runs[0].end() - 2, runs[0].end())),
              (std::vector<std::string>{"Readme.txt", "docs"}));
    EXPECT_EQ(runs[0][0], "d");
}

TEST_F(RAREditorTest, NamesStartingWithDashAreNamesNotSwitches) {
    writeFile(folder / "src/-x.txt", "dash\n");
    makeArchive(archive, folder / "src", "", "-- -x.txt Readme.txt Notes.TXT");
    editor.deleteEntries(archive, progress, {"-x.txt"});
    EXPECT_EQ(listedPaths(archive), (std::set<std::string>{"Readme.txt", "Notes.TXT"}));
    editor.rename(archive, progress, {"Readme.txt", 8, 0, false}, "-rr5%");
    EXPECT_EQ(listedPaths(archive), (std::set<std::string>{"-rr5%", "Notes.TXT"}));
    EXPECT_EQ(unrarBytes(archive, "-rr5%"), "read me\n");
}

TEST_F(RAREditorTest, RefusesDeletingWhatIsGoneOrHoldsWildcardsBeforeRunning) {
    makeSample();
    const std::string before = readFile(archive);
    auto gone = failureOf([&] { editor.deleteEntries(archive, progress, {"docs/", "missing"}); });
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->kind(), Case::archiveChanged);
    auto wildcard = failureOf([&] { editor.deleteEntries(archive, progress, {"a?", "docs/"}); });
    ASSERT_TRUE(wildcard);
    EXPECT_EQ(wildcard->message(), ArchiveFailure::rarEdit("los nombres con * o ? no se pueden "
                                                           "renombrar ni eliminar dentro de un "
                                                           "RAR.")
                                       .message());
    // A name that is only a prefix of an entry is not that entry.
    auto prefix = failureOf([&] { editor.deleteEntries(archive, progress, {"doc"}); });
    ASSERT_TRUE(prefix);
    EXPECT_EQ(prefix->kind(), Case::archiveChanged);
    // rar would remove the emptied archive.
    auto everything = failureOf([&] {
        editor.deleteEntries(archive, progress, {"docs/", "Readme.txt", "Notes.TXT"});
    });
    ASSERT_TRUE(everything);
    EXPECT_EQ(*everything,
              ArchiveFailure::rarEdit("un RAR no puede quedar vacío: deja al menos un elemento."));
    EXPECT_TRUE(recordedRuns(log).empty());
    expectUntouched(before);
}

TEST_F(RAREditorTest, KeepsRecoveryRecordAndPasswordOfTheArchive) {
    makeSample("-p -rr5%", "pw");
    editor.password = "pw";
    editor.deleteEntries(archive, progress, {"Notes.TXT"});
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0][5], "-p");
    EXPECT_EQ(runs[0][6], "-rr5%");
    Progress listing;
    auto summary = RARArchiveEngine("pw").list(archive, listing);
    EXPECT_TRUE(summary.hasRecoveryRecord);
    EXPECT_EQ(summary.entries.size(), 5u);
    EXPECT_TRUE(std::all_of(summary.entries.begin(), summary.entries.end(),
                            [](auto& e) { return e.isDirectory || e.isEncrypted; }));
    EXPECT_EQ(unrarBytes(archive, "Readme.txt", "pw"), "read me\n");
}

TEST_F(RAREditorTest, EditsArchiveWithEncryptedNamesAndKeepsThemHidden) {
    makeSample("-hp", "pw");
    editor.password = "pw";
    editor.rename(archive, progress, {"Notes.TXT", 6, 0, false}, "Notas.txt");
    editor.deleteEntries(archive, progress, {"docs/sub/"});
    EXPECT_TRUE(rarArchiveHidesNames(archive));
    EXPECT_EQ(listedPaths(archive, "pw"),
              (std::set<std::string>{"docs/", "docs/a.txt", "Readme.txt", "Notas.txt"}));
    for (const auto& run : recordedRuns(log))
        EXPECT_EQ(run[5], "-p") << "names hidden, yet rn and d take -p";
}

TEST_F(RAREditorTest, PasswordProblemsStopBeforeAnythingIsWritten) {
    makeSample("-hp", "pw");
    const std::string before = readFile(archive);
    auto missing = failureOf([&] { editor.deleteEntries(archive, progress, {"Readme.txt"}); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), Case::passwordRequired);
    editor.password = "wrong";
    auto wrong = failureOf([&] { editor.deleteEntries(archive, progress, {"Readme.txt"}); });
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->kind(), Case::wrongPassword);
    EXPECT_TRUE(recordedRuns(log).empty());
    expectUntouched(before);
}

TEST_F(RAREditorTest, RefusesWithoutProgramAndSplitOrLockedArchives) {
    makeSample();
    RAREditor readOnly;
    auto noProgram = failureOf([&] { readOnly.deleteEntries(archive, progress, {"Readme.txt"}); });
    ASSERT_TRUE(noProgram);
    EXPECT_EQ(noProgram->kind(), Case::readOnlyRAR);

    writeFile(folder / "src/big.bin", testing::sampleBytes(150000, 3, false));
    makeArchive(folder / "work/set.rar", folder / "src", "-m0 -v64k", "big.bin Readme.txt");
    auto split = failureOf(
        [&] { editor.deleteEntries(folder / "work/set.part1.rar", progress, {"Readme.txt"}); });
    ASSERT_TRUE(split);
    EXPECT_EQ(split->kind(), Case::splitEditing);

    makeArchive(folder / "work/locked.rar", folder / "src", "-k", "Readme.txt Notes.TXT");
    Progress listing;
    const auto summary = RARArchiveEngine().list(folder / "work/locked.rar", listing);
    EXPECT_TRUE(summary.isLocked);
    EXPECT_FALSE(summary.isEditable());
    EXPECT_FALSE(RARArchiveEngine().list(archive, listing).isLocked);
    auto locked = failureOf(
        [&] { editor.deleteEntries(folder / "work/locked.rar", progress, {"Readme.txt"}); });
    ASSERT_TRUE(locked);
    EXPECT_EQ(*locked, lockedRARFailure());
    EXPECT_TRUE(recordedRuns(log).empty());
}

TEST_F(RAREditorTest, ArchiveChangedDuringTheEditIsNotReplaced) {
    makeSample();
    auto failure = failureOf([&] {
        editor.add(archive, progress, [&](const RAREditor::Context& context) {
            auto change = RAREditor::deleteStep(context, {"Readme.txt"});
            // Another program rewrites the archive while ours works on the copy.
            fs::last_write_time(archive, fs::last_write_time(archive) - std::chrono::hours(1));
            return change;
        });
    });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Case::archiveChanged);
    EXPECT_EQ(listedPaths(archive), kSampleListing);
    EXPECT_EQ(namesIn(folder / "work"), std::set<std::string>{"sample.rar"});
}

TEST_F(RAREditorTest, CopyThatDiffersFromTheChangeIsNotPutInPlace) {
    makeSample();
    const std::string before = readFile(archive);
    auto failure = failureOf([&] {
        editor.add(archive, progress, [&](const RAREditor::Context& context) {
            auto change = RAREditor::deleteStep(context, {"Readme.txt"});
            change->expectedPaths.insert("Readme.txt");
            return change;
        });
    });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message(),
              ArchiveFailure::rarEdit("el contenido del RAR no coincide con el cambio esperado.")
                  .message());
    expectUntouched(before);
}

TEST_F(RAREditorTest, StepWithNothingToDoLeavesArchiveAndFolderAsTheyWere) {
    makeSample();
    const std::string before = readFile(archive);
    editor.add(archive, progress, [](const RAREditor::Context&) { return std::nullopt; });
    expectUntouched(before);
    EXPECT_EQ(progress.completedUnitCount(), 0);
}

TEST_F(RAREditorTest, ProgramFailureAndCancellationLeaveNothingBehind) {
    makeSample();
    const std::string before = readFile(archive);
    editor.executable = testing::rar::makeRecordingRar(folder.path(), log, 3);
    auto failure = failureOf([&] { editor.deleteEntries(archive, progress, {"Readme.txt"}); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message(),
              ArchiveFailure::rarEdit("el compresor terminó con el código 3.").message());
    expectUntouched(before);

    editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
    EXPECT_THROW(editor.add(archive, progress,
                            [&](const RAREditor::Context& context) {
                                auto change = RAREditor::deleteStep(context, {"Readme.txt"});
                                progress.cancel();
                                return change;
                            }),
                 CancellationError);
    expectUntouched(before);
}

} // namespace
} // namespace vexa
