#include "OperationTestSupport.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/Bookmarks.h"
#include "tests/core/ScopedRarLocations.h"

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class VolumeJoiningTest : public WorkspaceOperationTest {
  protected:
    VolumeJoiningTest() : rar_(RarLocations{std::nullopt, {"/usr/bin/rar"}}) {
        writeFile(work / "grande.bin", sampleBytes(200000, 21, false));
        writeFile(work / "nota.txt", "nota\n");
    }
    // Opens the set through its folder, as the model asks for it.
    void openSet(const fs::path& first) {
        harness.dialogs.answerOpenPanel({work});
        model().openArchive(first);
        waitUntilIdle();
        harness.dialogs.openAnswers.clear();
        ASSERT_TRUE(model().archive()) << first << model().errorMessage().value_or("");
        ASSERT_GT(model().archive()->volumes.size(), 1u);
    }
    void joinInto(const std::optional<fs::path>& destination) {
        harness.dialogs.answerSavePanel(destination);
        model().joinVolumesToSingleFile();
        waitUntilIdle();
    }
    const SavePanelRequest& lastSavePanel() { return harness.dialogs.savePanels.back(); }

  private:
    ScopedRarLocations rar_;
};

TEST_F(VolumeJoiningTest, ARARSetBecomesOneArchiveAndStaysOpenAsASet) {
    runChecked("rar a -idq -v64k viaje.rar grande.bin nota.txt", work);
    openSet(work / "viaje.part1.rar");
    const auto shown = model().archive();
    joinInto(work / "uno.rar");

    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "viaje — único.rar");
    EXPECT_EQ(lastSavePanel().allowedContentTypes, std::vector<std::string>{"rar"});
    ASSERT_EQ(model().records().size(), 1u);
    const auto& record = model().records().front();
    EXPECT_TRUE(record.succeeded) << record.detail;
    EXPECT_EQ(record.title, "Guardando RAR único");
    EXPECT_EQ(record.detail, "Copia guardada. Abre el nuevo RAR para editarlo.");
    EXPECT_EQ(model().lastOutput(), work / "uno.rar");
    EXPECT_EQ(model().archive(), shown);
    runChecked("unrar t -idq uno.rar", work);
    EXPECT_EQ(runChecked("unrar p -inul uno.rar grande.bin | cmp - grande.bin && echo igual", work),
              "igual\n");
    EXPECT_EQ(bookmarks::openAccess().count(work / "uno.rar"), 0u);
}

TEST_F(VolumeJoiningTest, AZIPSetIsCopiedButNeverOverOneOfItsParts) {
    runChecked("zip -q -s 64k datos.zip grande.bin nota.txt", work);
    openSet(work / "datos.zip");
    joinInto(work / "datos.zip");
    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "datos — único.zip");
    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::sourceIsArchive().message());
    EXPECT_TRUE(fs::exists(work / "datos.z01"));

    model().setErrorMessage(std::nullopt);
    joinInto(work / "junto.zip");
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(model().records().front().detail, "Copia guardada. Abre el nuevo ZIP para editarlo.");
    runChecked("unzip -tq junto.zip", work);
}

TEST_F(VolumeJoiningTest, ASevenZipSetLosesItsNumberingInTheProposedName) {
    runChecked("bsdtar --format 7zip -cf COPIA.7Z grande.bin nota.txt && split -b 65536 -d -a 3 "
               "--numeric-suffixes=1 COPIA.7Z COPIA.7Z. && rm COPIA.7Z",
               work);
    openSet(work / "COPIA.7Z.001");
    joinInto(std::nullopt);
    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "COPIA — único.7z");
    EXPECT_TRUE(model().records().empty()) << "a cancelled panel is no operation";

    joinInto(work / "junta.7z");
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(runChecked("bsdtar -xOf junta.7z grande.bin | cmp - grande.bin && echo igual", work),
              "igual\n");
}

TEST_F(VolumeJoiningTest, ATARIsNeverSplitSoItsCopyIsRefused) {
    runChecked("bsdtar -czf notas.tar.gz nota.txt", work);
    openAndWait(work / "notas.tar.gz");
    joinInto(work / "copia.tar");
    EXPECT_EQ(lastSavePanel().nameFieldStringValue, "notas.tar — único.tar");
    EXPECT_EQ(model().errorMessage(), "Esta operación no está disponible para este archivo.");
    EXPECT_FALSE(fs::exists(work / "copia.tar"));
}

TEST_F(VolumeJoiningTest, ARARSetWithoutARarProgramOnlyShowsWhy) {
    runChecked("rar a -idq -v64k viaje.rar grande.bin", work);
    openSet(work / "viaje.part1.rar");
    ScopedRarLocations none(RarLocations{std::nullopt, {}});
    model().joinVolumesToSingleFile();
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::readOnlyRAR().message());
    EXPECT_TRUE(harness.dialogs.savePanels.empty());
    EXPECT_TRUE(model().records().empty());
}

} // namespace
} // namespace vexa::testing
