#include "OperationTestSupport.h"
#include "tests/core/ScopedRarLocations.h"

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class RarProgramChoiceTest : public WorkspaceOperationTest {
  protected:
    void SetUp() override {
        const auto tree = sampleTree();
        model().addSources({tree / "top.txt"});
        model().setCreationFormat(ArchiveFormat::rar);
        program = harness.temporary / "elegido" / "rar";
        fs::create_directories(program.parent_path());
        fs::create_symlink("/usr/bin/rar", program);
    }
    // Presses the create button and declines the save panel, so nothing is written.
    void pressCreate() {
        harness.dialogs.answerSavePanel(std::nullopt);
        model().createArchive();
    }
    bool bookmarkStored() const {
        return harness.settings.data(WorkspaceModel::rarExecutableBookmarkKey).has_value();
    }
    fs::path program;
};

TEST_F(RarProgramChoiceTest, AProgramAmongTheResourcesIsNeverAskedFor) {
    ScopedRarLocations scope(RarLocations{program.parent_path(), {}});
    pressCreate();
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    EXPECT_EQ(harness.dialogs.savePanels.size(), 1u);
    EXPECT_FALSE(bookmarkStored());
}

TEST_F(RarProgramChoiceTest, AskedOnceThenKeptForTheRunAndTheNext) {
    // Even a program at a fixed place does not spare the question: only the resources do.
    ScopedRarLocations scope(RarLocations{std::nullopt, {"/usr/bin/rar"}});
    harness.dialogs.answerOpenPanel({});
    model().createArchive();
    ASSERT_EQ(harness.dialogs.openPanels.size(), 1u);
    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_TRUE(panel.canChooseFiles);
    EXPECT_FALSE(panel.canChooseDirectories);
    EXPECT_FALSE(panel.allowsMultipleSelection);
    EXPECT_EQ(panel.directory, fs::path("/opt/rar/"));
    EXPECT_EQ(panel.message, "Selecciona el programa RAR oficial instalado en este equipo. Solo se "
                             "necesita hacerlo una vez.");
    EXPECT_EQ(panel.prompt, "Usar RAR");
    EXPECT_TRUE(harness.dialogs.savePanels.empty()) << "a cancelled choice stops the creation";
    EXPECT_FALSE(model().rarExecutableScope());
    EXPECT_FALSE(bookmarkStored());
    EXPECT_FALSE(model().errorMessage());

    harness.dialogs.answerOpenPanel({program});
    pressCreate();
    EXPECT_EQ(model().rarExecutableScope(), program);
    EXPECT_TRUE(model().rarExecutableAccessed());
    EXPECT_TRUE(bookmarkStored());
    pressCreate();
    EXPECT_EQ(harness.dialogs.openPanels.size(), 2u);
    EXPECT_EQ(harness.dialogs.savePanels.size(), 2u);

    harness.restart();
    EXPECT_EQ(model().rarExecutableScope(), program);
}

TEST_F(RarProgramChoiceTest, TheChosenProgramWritesTheArchive) {
    ScopedRarLocations scope(RarLocations{std::nullopt, {}});
    harness.dialogs.answerOpenPanel({program});
    harness.dialogs.answerSavePanel(work / "elegido.rar");
    model().createArchive();
    waitUntilIdle();
    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(runChecked("unrar lb elegido.rar", work), "top.txt\n");
}

TEST_F(RarProgramChoiceTest, AProgramThatVanishedIsAskedForAgainNextRun) {
    ScopedRarLocations scope(RarLocations{std::nullopt, {}});
    harness.dialogs.answerOpenPanel({program});
    pressCreate();
    ASSERT_TRUE(bookmarkStored());

    fs::remove(program);
    harness.restart();
    model().addSources({work / "tree/top.txt"});
    model().setCreationFormat(ArchiveFormat::rar);
    EXPECT_FALSE(model().rarExecutableScope());
    harness.dialogs.answerOpenPanel({});
    model().createArchive();
    EXPECT_EQ(harness.dialogs.openPanels.size(), 2u);
    EXPECT_TRUE(harness.dialogs.scriptUsed());
}

} // namespace
} // namespace vexa::testing
