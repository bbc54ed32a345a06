#include "OperationTestSupport.h"

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class DroppedFilesTest : public WorkspaceOperationTest {
  protected:
    fs::path zipNamed(const std::string& name) {
        writeFile(work / "dentro.txt", "x");
        runChecked("zip -q " + shellQuote(name) + " dentro.txt", work);
        return work / name;
    }
};

TEST_F(DroppedFilesTest, OneArchiveDroppedOutsideTheCreatePageOpens) {
    writeFile(work / "dentro.txt", "x");
    runChecked("bsdtar -cJf copia.TXZ dentro.txt", work);
    for (const fs::path& archive :
         {zipNamed("a.ZIP"), zipNamed("lib.jar"), zipNamed("app.apk"), work / "copia.TXZ"}) {
        EXPECT_TRUE(model().handleDroppedURLs({archive})) << archive;
        waitUntilIdle();
        ASSERT_TRUE(model().archive()) << archive << ": " << model().errorMessage().value_or("");
        EXPECT_EQ(model().archive()->url, archive);
        EXPECT_EQ(model().page(), WorkspacePage::archive);
        // Back to the home page, as closing the archive view would.
        model().setPage(WorkspacePage::home);
    }
}

TEST_F(DroppedFilesTest, RefusedWhileBusyOrEmpty) {
    EXPECT_FALSE(model().handleDroppedURLs({}));
    model().beginOperation("Otra", Progress::make());
    EXPECT_FALSE(model().handleDroppedURLs({zipNamed("a.zip")}));
    EXPECT_EQ(model().operationTitle(), "Otra");
    model().endOperation();
    EXPECT_FALSE(model().archive());
}

// Adding to the open archive and listing creation sources are not built yet: those drops are
// refused instead of being taken and lost, and they never open anything.
TEST_F(DroppedFilesTest, DropsThatWouldNotOpenAnArchiveAreRefusedForNow) {
    const auto archive = zipNamed("a.zip");
    writeFile(work / "texto.txt", "t");

    EXPECT_FALSE(model().handleDroppedURLs({work / "texto.txt"}));
    EXPECT_FALSE(model().handleDroppedURLs({archive, zipNamed("b.zip")}));
    model().setPage(WorkspacePage::create);
    EXPECT_FALSE(model().handleDroppedURLs({archive}));
    EXPECT_FALSE(model().isBusy());
    EXPECT_FALSE(model().archive());

    model().setPage(WorkspacePage::home);
    ASSERT_TRUE(model().handleDroppedURLs({archive}));
    waitUntilIdle();
    EXPECT_FALSE(model().handleDroppedURLs({zipNamed("c.zip")}));
    EXPECT_FALSE(model().isBusy());
    EXPECT_EQ(model().archive()->url, archive);
}

} // namespace
} // namespace vexa::testing
