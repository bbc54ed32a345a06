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

TEST_F(DroppedFilesTest, WhatIsNotOpenedBecomesACreationSource) {
    const auto first = zipNamed("a.zip");
    const auto second = zipNamed("b.zip");
    writeFile(work / "texto.txt", "t");

    EXPECT_TRUE(model().handleDroppedURLs({work / "texto.txt"}));
    EXPECT_EQ(model().page(), WorkspacePage::create);
    EXPECT_TRUE(model().handleDroppedURLs({first}));
    model().setPage(WorkspacePage::home);
    EXPECT_TRUE(model().handleDroppedURLs({first, second}));
    EXPECT_EQ(model().sources(), (std::vector<fs::path>{work / "texto.txt", first, second}));
    EXPECT_EQ(model().page(), WorkspacePage::create);
    EXPECT_FALSE(model().isBusy());
    EXPECT_FALSE(model().archive());
}

TEST_F(DroppedFilesTest, OnTheArchivePageFilesGoIntoTheCurrentFolder) {
    fs::create_directory(work / "carpeta");
    writeFile(work / "carpeta/dentro.txt", "x");
    runChecked("zip -qr a.zip carpeta", work);
    ASSERT_TRUE(model().handleDroppedURLs({work / "a.zip"}));
    waitUntilIdle();
    model().setFolder("carpeta/");
    writeFile(work / "nuevo.txt", "nuevo");

    EXPECT_TRUE(model().handleDroppedURLs({work / "nuevo.txt"}));
    waitUntilIdle();
    ASSERT_FALSE(model().records().empty());
    EXPECT_TRUE(model().records().front().succeeded) << model().records().front().detail;
    EXPECT_EQ(runChecked("unzip -p a.zip carpeta/nuevo.txt", work), "nuevo");
    EXPECT_TRUE(model().sources().empty());
}

} // namespace
} // namespace vexa::testing
