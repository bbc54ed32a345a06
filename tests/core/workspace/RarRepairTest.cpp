#include "OperationTestSupport.h"
#include "platform/Bookmarks.h"
#include "tests/core/ScopedRarLocations.h"

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class RarRepairTest : public WorkspaceOperationTest {
  protected:
    RarRepairTest() : rar_(RarLocations{std::nullopt, {"/usr/bin/rar"}}) {}

    // A RAR whose file data was overwritten in one place.
    fs::path damagedRar(const std::string& name, const std::string& options = "-rr5%") {
        writeFile(work / "a.txt", "hola\n");
        writeFile(work / "b.bin", sampleBytes(100000, 3, false));
        runChecked("rar a -idq " + options + " " + shellQuote(name) + " a.txt b.bin", work);
        runChecked("printf '\\377\\377\\377\\377\\377\\377\\377\\377' | dd of=" + shellQuote(name) +
                       " bs=1 seek=60000 conv=notrunc 2>/dev/null",
                   work);
        return work / name;
    }

  private:
    ScopedRarLocations rar_;
};

TEST_F(RarRepairTest, WritesARepairedCopyAndLeavesTheOriginal) {
    const auto damaged = damagedRar("Copia.part1.rar");
    const std::string before = readFile(damaged);
    harness.dialogs.answerOpenPanel({damaged});
    harness.dialogs.answerSavePanel(work / "arreglado.rar");
    model().repairRarArchive();
    EXPECT_EQ(model().operationTitle(), "Reparando Copia.part1.rar");
    waitUntilIdle();

    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_EQ(panel.prompt, "Reparar");
    EXPECT_EQ(panel.message,
              "Elige el RAR dañado. Se guardará una copia reparada; el original no se modifica.");
    EXPECT_EQ(panel.allowedContentTypes, (std::vector<std::string>{"rar", "sfx"}));
    EXPECT_FALSE(panel.canChooseDirectories);
    const auto& save = harness.dialogs.savePanels.front();
    EXPECT_EQ(save.nameFieldStringValue, "Copia.part1 — reparado.rar");
    EXPECT_EQ(save.directory, work);
    EXPECT_TRUE(harness.dialogs.alerts.empty()) << "names are readable: no password";

    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(model().records().front().detail, "RAR reparado");
    EXPECT_EQ(model().lastOutput(), work / "arreglado.rar");
    runChecked("unrar t -idq arreglado.rar", work);
    EXPECT_EQ(readFile(damaged), before);
    EXPECT_FALSE(model().archive());
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(RarRepairTest, WithoutARecoveryRecordOnlyTheSoundFilesAreKept) {
    const auto damaged = damagedRar("sin-registro.rar", "");
    harness.dialogs.answerOpenPanel({damaged});
    harness.dialogs.answerSavePanel(work / "reconstruido.rar");
    model().repairRarArchive();
    waitUntilIdle();

    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(model().records().front().detail,
              "RAR reconstruido: solo se recuperaron los archivos sanos");
    EXPECT_EQ(runChecked("unrar lb reconstruido.rar", work), "a.txt\n");
}

TEST_F(RarRepairTest, HiddenNamesAskForThePasswordAndCancellingStopsSilently) {
    const auto damaged = damagedRar("oculto.rar", "-hpsecreto");
    harness.dialogs.answerOpenPanel({damaged});
    harness.dialogs.answerAlert(AlertResponse{1001, "secreto"});
    model().repairRarArchive();
    ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
    EXPECT_EQ(harness.dialogs.alerts.front().messageText, "Contraseña del RAR");
    EXPECT_TRUE(harness.dialogs.savePanels.empty());

    // A typed password and then a cancelled save panel: still nothing.
    harness.dialogs.answerOpenPanel({damaged});
    harness.dialogs.answerAlert(AlertResponse{1000, "secreto"});
    harness.dialogs.answerSavePanel(std::nullopt);
    model().repairRarArchive();
    EXPECT_FALSE(model().isBusy());
    EXPECT_TRUE(model().records().empty());
    EXPECT_FALSE(model().errorMessage());
    EXPECT_TRUE(harness.dialogs.scriptUsed());
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(RarRepairTest, NothingWithoutARarProgram) {
    ScopedRarLocations none(RarLocations{std::nullopt, {}});
    model().repairRarArchive();
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    EXPECT_FALSE(model().errorMessage());
}

} // namespace
} // namespace vexa::testing
