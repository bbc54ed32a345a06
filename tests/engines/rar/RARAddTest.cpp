#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/rar/RAREditor.h"
#include "platform/PlatformError.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/engines/rar/RARTestArchives.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using namespace testing::rar;
using Case = ArchiveFailure::Case;
using Policy = ArchiveConflictPolicy;

bool holds(const std::vector<std::string>& run, const std::string& argument) {
    return std::find(run.begin(), run.end(), argument) != run.end();
}

const std::set<std::string> kSampleListing{"docs/",     "docs/a.txt",     "docs/informe.pdf",
                                           "docs/sub/", "docs/sub/b.txt", "Readme.txt"};

class RARAddTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder / "src/docs/a.txt", "alpha\n");
        writeFile(folder / "src/docs/informe.pdf", "old report\n");
        writeFile(folder / "src/docs/sub/b.txt", "beta\n");
        writeFile(folder / "src/Readme.txt", "read me\n");
        writeFile(folder / "new/Informe.pdf", "new report\n");
        writeFile(folder / "new/Fotos/x.jpg", "picture\n");
        writeFile(folder / "new/Fotos/._x.jpg", std::string("\x00\x05\x16\x07", 4) + "fork\n");
        writeFile(folder / "other/Informe.pdf", "another report\n");
        fs::create_directory(folder / "work");
        // The links folder is made in the temporary folder; a private one shows leftovers.
        fs::create_directory(folder / "tmp");
        const char* previous = std::getenv("TMPDIR");
        savedTemporary = previous ? std::optional<std::string>(previous) : std::nullopt;
        setenv("TMPDIR", (folder / "tmp").c_str(), 1);
        editor.executable = testing::rar::makeRecordingRar(folder.path(), log);
    }
    void TearDown() override {
        if (savedTemporary)
            setenv("TMPDIR", savedTemporary->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    void makeSample(const std::string& switches = "",
                    const std::optional<std::string>& password = std::nullopt) {
        makeArchive(archive, folder / "src", "-r " + switches, "docs Readme.txt", password);
    }

    fs::path add(const std::string& target, const std::vector<fs::path>& sources, Policy policy) {
        return editor.add(archive, progress, [&](const RAREditor::Context& context) {
            return RAREditor::addFiles(context, target, sources, archive, policy, progress);
        });
    }

    void expectNothingLeft() {
        EXPECT_EQ(namesIn(folder / "work"), std::set<std::string>{"sample.rar"});
        EXPECT_TRUE(namesIn(folder / "tmp").empty());
    }

    TemporaryDirectory folder;
    std::optional<std::string> savedTemporary;
    fs::path log = folder / "runs.log";
    fs::path archive = folder / "work/sample.rar";
    RAREditor editor;
    Progress progress;
};

TEST_F(RARAddTest, TakenNameFollowsThePolicy) {
    makeSample();
    const std::string before = readFile(archive);
    auto asked = failureOf([&] { add("docs/", {folder / "new/Informe.pdf"}, Policy::ask); });
    ASSERT_TRUE(asked);
    EXPECT_EQ(*asked, ArchiveFailure::conflict("Informe.pdf"));
    add("docs/", {folder / "new/Informe.pdf"}, Policy::skip);
    EXPECT_EQ(readFile(archive), before);
    EXPECT_TRUE(recordedRuns(log).empty()) << "nothing to add runs no program";
    expectNothingLeft();

    add("docs/", {folder / "new/Informe.pdf"}, Policy::keepBoth);
    auto kept = kSampleListing;
    kept.insert("docs/Informe 2.pdf");
    EXPECT_EQ(listedPaths(archive), kept);
    EXPECT_EQ(unrarBytes(archive, "docs/Informe 2.pdf"), "new report\n");
    EXPECT_EQ(unrarBytes(archive, "docs/informe.pdf"), "old report\n");

    fs::remove(log);
    add("docs/", {folder / "other/Informe.pdf"}, Policy::replace);
    auto replaced = kept;
    replaced.erase("docs/informe.pdf");
    replaced.insert("docs/Informe.pdf");
    EXPECT_EQ(listedPaths(archive), replaced);
    EXPECT_EQ(unrarBytes(archive, "docs/Informe.pdf"), "another report\n");
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0][0], "d");
    EXPECT_EQ(runs[0].back(), "docs/informe.pdf");
    EXPECT_EQ(runs[1][0], "a");
    EXPECT_TRUE(holds(runs[1], "-apdocs"));
    EXPECT_EQ(runs[1].back(), "*");
    expectNothingLeft();
}

TEST_F(RARAddTest, FolderGoesToTheRootWithoutResourceForksAndAgainAsNumberedCopy) {
    makeSample();
    add("", {folder / "new/Fotos"}, Policy::ask);
    auto withFotos = kSampleListing;
    withFotos.insert({"Fotos/", "Fotos/x.jpg"});
    EXPECT_EQ(listedPaths(archive), withFotos);
    auto runs = recordedRuns(log);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(std::none_of(runs[0].begin(), runs[0].end(),
                             [](const std::string& a) { return a.starts_with("-ap"); }));
    EXPECT_TRUE(holds(runs[0], "-xFotos/._x.jpg"));

    add("", {folder / "new/Fotos"}, Policy::keepBoth);
    EXPECT_EQ(unrarBytes(archive, "Fotos 2/x.jpg"), "picture\n");
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    expectNothingLeft();
}

TEST_F(RARAddTest, TwoNewItemsWithOneName) {
    makeSample();
    add("docs/sub/", {folder / "new/Informe.pdf", folder / "other/Informe.pdf"}, Policy::keepBoth);
    EXPECT_EQ(unrarBytes(archive, "docs/sub/Informe.pdf"), "new report\n");
    EXPECT_EQ(unrarBytes(archive, "docs/sub/Informe 2.pdf"), "another report\n");

    const std::string before = readFile(archive);
    auto failure = failureOf([&] {
        add("", {folder / "new/Informe.pdf", folder / "other/Informe.pdf"}, Policy::replace);
    });
    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, ArchiveFailure::conflict("Informe.pdf"));
    EXPECT_EQ(readFile(archive), before);
    expectNothingLeft();
}

TEST_F(RARAddTest, RefusesUnsafeTargetsAndSourcesBeforeRunning) {
    makeSample();
    fs::create_symlink(folder / "new/Informe.pdf", folder / "new/link.pdf");
    const std::string before = readFile(archive);
    struct Row {
        std::string target;
        fs::path source;
        ArchiveFailure failure;
    };
    const std::vector<Row> rows{
        {"docs", folder / "new/Informe.pdf", ArchiveFailure::unsafePath("docs")},
        {"nowhere/", folder / "new/Informe.pdf", ArchiveFailure::unsafePath("nowhere/")},
        {"", archive, ArchiveFailure::sourceIsArchive()},
        {"", folder / "work",
         ArchiveFailure::rarEdit(
             "el RAR no puede guardarse dentro de una carpeta que se va a comprimir.")},
        {"", folder / "new/link.pdf", ArchiveFailure::symbolicLink("link.pdf")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source.string() + " -> " + row.target);
        auto failure = failureOf([&] { add(row.target, {row.source}, Policy::ask); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(*failure, row.failure);
        EXPECT_EQ(readFile(archive), before);
        expectNothingLeft();
    }
    EXPECT_TRUE(recordedRuns(log).empty());
}

TEST_F(RARAddTest, PasswordArchivesGetTheirEncryptionForNewFiles) {
    struct Row {
        const char* switches;
        std::optional<std::string> password;
        std::optional<std::string> expectedSwitch;
    };
    const std::vector<Row> rows{{"-hp", "pw", "-hp"}, {"-p", "pw", "-p"}, {"", {}, {}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.switches);
        fs::remove(archive);
        fs::remove(log);
        makeSample(row.switches, row.password);
        editor.password = row.password;
        add("docs/", {folder / "new/Fotos"}, Policy::ask);
        auto runs = recordedRuns(log);
        ASSERT_EQ(runs.size(), 1u);
        auto count = [&](const char* s) { return std::count(runs[0].begin(), runs[0].end(), s); };
        EXPECT_EQ(count("-hp"), row.expectedSwitch == "-hp" ? 1 : 0);
        EXPECT_EQ(count("-p"), row.expectedSwitch == "-p" ? 1 : 0);
        EXPECT_EQ(rarArchiveHidesNames(archive), row.expectedSwitch == "-hp");
        EXPECT_EQ(unrarBytes(archive, "docs/Fotos/x.jpg", row.password), "picture\n");
        Progress listing;
        for (const auto& entry : RARArchiveEngine(row.password).list(archive, listing).entries)
            EXPECT_EQ(entry.isEncrypted, row.password && !entry.isDirectory) << entry.path;
    }
}

TEST_F(RARAddTest, FailedAddLeavesArchiveAndNoLinksBehind) {
    makeSample();
    const std::string before = readFile(archive);
    writeFile(folder / "fails-on-add",
              "#!/bin/bash\n[ \"$1\" = a ] && exit 7\nexec /usr/bin/rar \"$@\"\n");
    fs::permissions(folder / "fails-on-add", fs::perms(0755));
    editor.executable = folder / "fails-on-add";
    auto failure =
        failureOf([&] { add("docs/", {folder / "other/Informe.pdf"}, Policy::replace); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->message(),
              ArchiveFailure::rarEdit("el compresor terminó con el código 7.").message());
    EXPECT_EQ(readFile(archive), before);
    expectNothingLeft();
}

TEST_F(RARAddTest, CancellationWhileTheProgramAddsLeavesNothing) {
    makeSample();
    const std::string before = readFile(archive);
    const fs::path started = folder / "started";
    writeFile(folder / "slow-rar", "#!/bin/bash\n: > " + testing::shellQuote(started.string()) +
                                       "\nexec /bin/sleep 30\n");
    fs::permissions(folder / "slow-rar", fs::perms(0755));
    editor.executable = folder / "slow-rar";
    std::thread canceller([&] {
        // The limit only keeps a broken build from hanging.
        for (int i = 0; i < 6000 && !fs::exists(started); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        progress.cancel();
    });
    EXPECT_THROW(add("docs/", {folder / "new/Fotos"}, Policy::ask), CancellationError);
    canceller.join();
    EXPECT_EQ(readFile(archive), before);
    expectNothingLeft();
}

} // namespace
} // namespace vexa
