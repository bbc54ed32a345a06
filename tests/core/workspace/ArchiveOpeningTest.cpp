#include "OperationTestSupport.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class ArchiveOpeningTest : public WorkspaceOperationTest {
  protected:
    fs::path zipOf(const std::string& name) {
        const auto tree = sampleTree();
        runChecked("zip -qr " + shellQuote((work / name).string()) + " docs top.txt", tree);
        return work / name;
    }
    // A RAR whose listing itself is encrypted.
    fs::path encryptedHeaderRar() {
        const auto tree = sampleTree();
        runChecked("rar a -idq -hpsecreto " + shellQuote((work / "cifrado.rar").string()) +
                       " docs top.txt",
                   tree);
        return work / "cifrado.rar";
    }
    AlertResponse typed(const std::string& text) { return AlertResponse{1000, text}; }
};

TEST_F(ArchiveOpeningTest, OpensShowsTheArchivePageAndRemembersIt) {
    const auto archive = zipOf("fotos.zip");
    model().setFolder("docs/");
    model().setSelection({"docs/a.txt"});
    model().setSearch("a");

    model().openArchive(archive);
    EXPECT_EQ(model().operationTitle(), "Abriendo fotos.zip");
    waitUntilIdle();

    ASSERT_TRUE(model().archive());
    EXPECT_EQ(model().archive()->url, archive);
    EXPECT_EQ(model().page(), WorkspacePage::archive);
    EXPECT_EQ(model().folder(), "");
    EXPECT_TRUE(model().selection().empty());
    EXPECT_EQ(model().search(), "");
    EXPECT_TRUE(model().records().empty()) << "a successful open is not logged";
    EXPECT_FALSE(model().statusMessage());
    ASSERT_FALSE(model().recents().empty());
    EXPECT_EQ(model().recents().front().name, "fotos.zip");
    EXPECT_FALSE(model().recents().front().folderBookmark);
    EXPECT_EQ(model().archiveScope(), archive);
}

TEST_F(ArchiveOpeningTest, RefusesWhatIsNoArchiveBeforeAnyOperation) {
    writeFile(work / "notas.txt", "texto");
    model().openArchive(work / "notas.txt");
    EXPECT_FALSE(model().isBusy());
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::unsupported().message());
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
}

TEST_F(ArchiveOpeningTest, DoesNothingWhileBusy) {
    const auto archive = zipOf("a.zip");
    model().beginOperation("Otra", Progress::make());
    model().openArchive(archive);
    model().openArchive(work / "set.z01");
    EXPECT_EQ(model().operationTitle(), "Otra");
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    model().endOperation();
    harness.loop.runUntilIdle();
    EXPECT_FALSE(model().archive());
}

TEST_F(ArchiveOpeningTest, AFailedListingIsLoggedAndKeepsTheOpenArchive) {
    const auto good = zipOf("bueno.zip");
    openAndWait(good);
    writeFile(work / "roto.zip", sampleBytes(4096, 3, false));

    model().openArchive(work / "roto.zip");
    waitUntilIdle();

    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_FALSE(model().records().front().succeeded);
    EXPECT_EQ(model().records().front().title, "Abriendo roto.zip");
    EXPECT_EQ(model().errorMessage(), model().records().front().detail);
    EXPECT_EQ(model().archive()->url, good);
    EXPECT_EQ(model().archiveScope(), good);
    // Only the open archive keeps its access.
    EXPECT_EQ(bookmarks::openAccess().count(paths::standardized(work / "roto.zip")), 0u);
}

class SplitZipTest : public ArchiveOpeningTest {
  protected:
    void SetUp() override {
        writeFile(work / "grande.bin", sampleBytes(200000, 11, false));
        runChecked("zip -q -s 64k conjunto.zip grande.bin", work);
        ASSERT_TRUE(fs::exists(work / "conjunto.z02"));
    }
};

TEST_F(SplitZipTest, APartOpensTheSetFromItsOwnFolderWithoutAsking) {
    model().openArchive(work / "conjunto.z02");
    waitUntilIdle();

    // No sandbox: the folder of the parts is granted at once, no panel asks for it.
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    ASSERT_TRUE(model().archive()) << model().errorMessage().value_or("");
    EXPECT_EQ(model().archive()->url, work / "conjunto.zip");
    EXPECT_EQ(model().volumeScope(), work);
    EXPECT_TRUE(model().recents().front().folderBookmark);
}

TEST_F(SplitZipTest, AMissingLastPartIsNamedAndNothingOpens) {
    fs::remove(work / "conjunto.zip");
    model().openArchive(work / "conjunto.z01");
    EXPECT_FALSE(model().isBusy());
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::missingVolume("conjunto.zip").message());
    EXPECT_FALSE(model().archive());
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(ArchiveOpeningTest, EncryptedRarListingAsksAgainUntilThePasswordFits) {
    const auto archive = encryptedHeaderRar();
    harness.dialogs.answerAlert(typed("mala"));
    harness.dialogs.answerAlert(typed("secreto"));

    model().openArchive(archive);
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.alerts.size(), 2u);
    const auto& first = harness.dialogs.alerts[0];
    EXPECT_EQ(first.messageText, "Contraseña del RAR");
    EXPECT_EQ(first.informativeText, "La contraseña se usará solo en memoria durante esta sesión.");
    EXPECT_TRUE(first.secureTextField);
    EXPECT_EQ(first.placeholder, "Contraseña");
    EXPECT_EQ(first.buttons, (std::vector<std::string>{"Continuar", "Cancelar"}));
    EXPECT_EQ(harness.dialogs.alerts[1].messageText, "Contraseña incorrecta. Inténtalo de nuevo");

    ASSERT_TRUE(model().archive()) << model().errorMessage().value_or("");
    EXPECT_EQ(model().archive()->entries.size(), 5u);
    EXPECT_EQ(model().archivePassword(), "secreto");
    EXPECT_TRUE(model().records().empty());
    EXPECT_FALSE(model().errorMessage());
    EXPECT_TRUE(bookmarks::openAccess().size() == 1u) << "only the open archive's access stays";
}

TEST_F(ArchiveOpeningTest, CancellingThePasswordLeavesNoTrace) {
    const auto archive = encryptedHeaderRar();
    for (const AlertResponse& answer : {AlertResponse{1001, "secreto"}, typed("")}) {
        harness.dialogs.answerAlert(answer);
        model().openArchive(archive);
        waitUntilIdle();
        EXPECT_FALSE(model().archive());
        EXPECT_FALSE(model().archivePassword());
        EXPECT_TRUE(model().records().empty());
        EXPECT_FALSE(model().errorMessage());
        EXPECT_FALSE(model().statusMessage());
    }
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(ArchiveOpeningTest, AMissingRarVolumeIsNamedWithoutAskingForTheFolder) {
    const auto tree = sampleTree();
    writeFile(tree / "grande.bin", sampleBytes(150000, 5, false));
    runChecked("rar a -idq -m0 -v50k " + shellQuote((work / "partes.rar").string()) + " grande.bin",
               tree);
    ASSERT_TRUE(fs::exists(work / "partes.part3.rar"));
    fs::remove(work / "partes.part2.rar");

    model().openArchive(work / "partes.part1.rar");
    waitUntilIdle();

    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    EXPECT_FALSE(model().archive());
    ASSERT_EQ(model().records().size(), 1u) << "with the folder given the failure is reported";
    EXPECT_EQ(model().errorMessage(), model().records().front().detail);
    EXPECT_NE(model().errorMessage()->find("partes.part2.rar"), std::string::npos);
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(ArchiveOpeningTest, ChooseArchiveToOpenOffersTheArchiveTypes) {
    const auto archive = zipOf("elegido.zip");
    harness.dialogs.answerOpenPanel({archive});
    model().chooseArchiveToOpen();
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.openPanels.size(), 1u);
    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_EQ(panel.prompt, "Abrir archivo");
    EXPECT_TRUE(panel.canChooseFiles);
    EXPECT_FALSE(panel.canChooseDirectories);
    const auto& types = panel.allowedContentTypes;
    ASSERT_GE(types.size(), 24u);
    EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 7),
              (std::vector<std::string>{"zip", "rar", "z01", "sfx", "exe", "7z", "001"}));
    for (const char* extension : {"tzst", "jar", "aab"})
        EXPECT_NE(std::find(types.begin(), types.end(), extension), types.end()) << extension;
    EXPECT_EQ(model().archive()->url, archive);
}

} // namespace
} // namespace vexa::testing
