#include "OperationTestSupport.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"

#include <sys/stat.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

class EntryExtractionTest : public WorkspaceOperationTest {
  protected:
    fs::path openZip(const std::string& options = {}) {
        const auto tree = sampleTree();
        const auto archive = work / "datos.zip";
        runChecked("zip -qr " + options + " " + shellQuote(archive.string()) + " docs top.txt",
                   tree);
        openAndWait(archive);
        return archive;
    }
    fs::path destination() {
        const auto folder = work / "destino";
        fs::create_directories(folder);
        return folder;
    }
    const OperationRecord& lastRecord() { return model().records().front(); }
};

TEST_F(EntryExtractionTest, ExtractsEverythingIntoANewFolderOfTheChosenOne) {
    openZip();
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(false);
    EXPECT_EQ(model().operationTitle(), "Extrayendo datos.zip");
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.openPanels.size(), 1u);
    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_FALSE(panel.canChooseFiles);
    EXPECT_TRUE(panel.canChooseDirectories);
    EXPECT_EQ(panel.prompt, "Extraer aquí");
    EXPECT_EQ(panel.message,
              "Se creará una carpeta nueva. Tus archivos existentes se conservarán.");

    ASSERT_FALSE(model().records().empty()) << model().errorMessage().value_or("");
    EXPECT_TRUE(lastRecord().succeeded);
    EXPECT_EQ(lastRecord().detail, "Extracción completada");
    EXPECT_EQ(model().statusMessage(), "Extracción completada");
    ASSERT_TRUE(model().lastOutput());
    const fs::path created = *model().lastOutput();
    EXPECT_EQ(created.parent_path(), destination());
    EXPECT_EQ(readFile(created / "docs/a.txt"), "primer archivo\n");
    EXPECT_EQ(readFile(created / "docs/b/c.txt"), sampleBytes(5000, 7, true));
    EXPECT_TRUE(fs::exists(created / "top.txt"));
    EXPECT_EQ(bookmarks::openAccess().count(paths::standardized(destination())), 0u)
        << "access to the chosen folder ends with the operation";
}

TEST_F(EntryExtractionTest, ExtractsOnlyTheSelection) {
    // Without folder entries "docs/b/" is a row the browser derives, not an entry.
    openZip("-D");
    model().setFolder("docs/");
    model().setSelection({"docs/b/"});
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(true);
    EXPECT_EQ(model().operationTitle(), "Extrayendo selección");
    waitUntilIdle();

    ASSERT_TRUE(model().lastOutput()) << model().errorMessage().value_or("");
    const fs::path created = *model().lastOutput();
    EXPECT_TRUE(fs::exists(created / "docs/b/c.txt"));
    EXPECT_FALSE(fs::exists(created / "docs/a.txt"));
    EXPECT_FALSE(fs::exists(created / "top.txt"));
}

TEST_F(EntryExtractionTest, SilentReturnsAskNothingAndLogNothing) {
    model().extractEntries(false); // no archive
    openZip();
    model().extractEntries(true); // empty selection: not even the panel
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    harness.dialogs.answerOpenPanel({});
    model().extractEntries(false); // panel cancelled
    EXPECT_EQ(harness.dialogs.openPanels.size(), 1u);
    EXPECT_FALSE(model().isBusy());
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(harness.dialogs.alerts.empty()) << "no encrypted entry, no prompt";
}

TEST_F(EntryExtractionTest, EncryptedEntriesAskOnceAndAWrongPasswordIsForgotten) {
    openZip("-P secreto");
    // Cancelled prompt: no panel.
    harness.dialogs.answerAlert(AlertResponse{1001, ""});
    model().extractEntries(false);
    EXPECT_TRUE(harness.dialogs.openPanels.empty());
    ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
    EXPECT_EQ(harness.dialogs.alerts[0].messageText, "Contraseña del ZIP");

    harness.dialogs.answerAlert(AlertResponse{1000, "otra"});
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(false);
    waitUntilIdle();
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::wrongPassword().message());
    EXPECT_FALSE(model().archivePassword());

    harness.dialogs.answerAlert(AlertResponse{1000, "secreto"});
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(false);
    waitUntilIdle();
    ASSERT_TRUE(model().lastOutput()) << model().errorMessage().value_or("");
    EXPECT_EQ(readFile(*model().lastOutput() / "top.txt"), "arriba\n");

    // The held password serves the next read without asking.
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(false);
    waitUntilIdle();
    EXPECT_EQ(harness.dialogs.alerts.size(), 3u);
    EXPECT_TRUE(harness.dialogs.scriptUsed());
}

TEST_F(EntryExtractionTest, CancelledExtractionKeepsNoPartialResult) {
    writeFile(work / "grande.bin", sampleBytes(48 << 20, 9, false));
    runChecked("zip -q -0 grande.zip grande.bin", work);
    openAndWait(work / "grande.zip");
    harness.dialogs.answerOpenPanel({destination()});
    model().extractEntries(false);
    model().cancelOperation();
    waitUntilIdle();

    EXPECT_EQ(model().statusMessage(), WorkspaceModel::cancellationMessage());
    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_FALSE(lastRecord().succeeded);
    EXPECT_FALSE(model().lastOutput());
    EXPECT_TRUE(fs::is_empty(destination()));
}

TEST_F(EntryExtractionTest, ExtractionThatCannotFitIsRefusedBeforeWriting) {
    // The directory claims 1 PiB for three stored bytes: no destination holds that.
    runChecked(R"(/usr/bin/python3 -c "
import zipfile
with zipfile.ZipFile('enorme.zip', 'w') as zf:
    zf.writestr('hola.txt', b'hola')
    zf.writestr('enorme.bin', b'abc')
    zf.getinfo('enorme.bin').file_size = 1 << 50
")",
               work);
    openAndWait(work / "enorme.zip");
    for (const bool selectionOnly : {false, true}) {
        model().setSelection({selectionOnly ? "hola.txt" : "enorme.bin"});
        harness.dialogs.answerOpenPanel({destination()});
        model().extractEntries(selectionOnly);
        waitUntilIdle();
        if (selectionOnly) {
            EXPECT_TRUE(model().lastOutput()) << "a small selection still fits";
        } else {
            EXPECT_EQ(model().errorMessage(),
                      "No se pudo guardar el archivo «destino» porque no hay espacio suficiente.");
            EXPECT_TRUE(fs::is_empty(destination()));
        }
    }
}

// The preview

class EntryPreviewTest : public EntryExtractionTest {};

TEST_F(EntryPreviewTest, PreviewsTheSelectedFileInAPrivateFolder) {
    openZip();
    model().setFolder("docs/");
    model().setSelection({"docs/a.txt"});
    model().previewEntry();
    EXPECT_EQ(model().operationTitle(), "Preparando vista previa");
    waitUntilIdle();

    ASSERT_TRUE(model().previewURL()) << model().errorMessage().value_or("");
    const fs::path file = *model().previewURL();
    EXPECT_EQ(file.filename(), "a.txt");
    EXPECT_EQ(readFile(file), "primer archivo\n");
    ASSERT_EQ(previewFolders(), std::vector<fs::path>{file.parent_path()});
    EXPECT_EQ(model().previewDirectory(), file.parent_path());
    struct stat info {};
    ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(lastRecord().detail, "Vista previa lista");
    EXPECT_FALSE(model().lastOutput());

    // A second preview replaces the first folder.
    model().setFolder("");
    model().setSelection({"top.txt"});
    model().previewEntry();
    waitUntilIdle();
    EXPECT_FALSE(fs::exists(file.parent_path()));
    ASSERT_EQ(previewFolders().size(), 1u);
    EXPECT_EQ(readFile(*model().previewURL()), "arriba\n");

    model().clearPreview();
    EXPECT_TRUE(previewFolders().empty());
}

TEST_F(EntryPreviewTest, NeedsExactlyOneVisibleFile) {
    openZip();
    // "docs/a.txt" is not a row of the root folder.
    for (const std::set<std::string>& selection :
         {std::set<std::string>{}, {"docs/", "top.txt"}, {"docs/"}, {"docs/a.txt"}}) {
        model().setSelection(selection);
        model().previewEntry();
        EXPECT_FALSE(model().isBusy());
    }
    EXPECT_TRUE(model().records().empty());
    EXPECT_TRUE(previewFolders().empty());
}

TEST_F(EntryPreviewTest, CancelledPromptKeepsTheOpenPreview) {
    openZip("-P secreto");
    harness.dialogs.answerAlert(AlertResponse{1000, "secreto"});
    model().setSelection({"top.txt"});
    model().previewEntry();
    waitUntilIdle();
    ASSERT_TRUE(model().previewURL()) << model().errorMessage().value_or("");

    model().setArchivePassword(std::nullopt);
    harness.dialogs.answerAlert(AlertResponse{1001, ""});
    model().previewEntry();
    EXPECT_TRUE(model().previewURL());
    EXPECT_EQ(previewFolders().size(), 1u);
}

TEST_F(EntryPreviewTest, SizeLimitIsOneHundredMebibytes) {
    // Sparse zeros deflate to little, so the archive stays small.
    for (const auto& [name, size] : {std::pair{"justo.bin", 104857600}, {"excede.bin", 104857601}})
        runChecked("truncate -s " + std::to_string(size) + " " + name, work);
    runChecked("zip -q limite.zip justo.bin excede.bin", work);
    openAndWait(work / "limite.zip");

    model().setSelection({"excede.bin"});
    model().previewEntry();
    waitUntilIdle();
    EXPECT_EQ(model().errorMessage(), ArchiveFailure::previewTooLarge().message());
    EXPECT_FALSE(model().previewURL());
    EXPECT_TRUE(previewFolders().empty()) << "a failed preview leaves no folder";

    model().setSelection({"justo.bin"});
    model().previewEntry();
    waitUntilIdle();
    ASSERT_TRUE(model().previewURL());
    EXPECT_EQ(fs::file_size(*model().previewURL()), 104857600u);
}

// The same entry comes out of each format through its own engine.
class PreviewFormatTest : public WorkspaceOperationTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(PreviewFormatTest, PreviewsAnEntryOfEachFormat) {
    const auto tree = sampleTree();
    const std::string archive = (work / GetParam()).string();
    const std::string kind = paths::pathExtension(archive);
    if (kind == "rar")
        runChecked("rar a -idq " + shellQuote(archive) + " docs top.txt", tree);
    else if (kind == "7z")
        runChecked("bsdtar --format 7zip -cf " + shellQuote(archive) + " docs top.txt", tree);
    else if (kind == "gz")
        runChecked("bsdtar -czf " + shellQuote(archive) + " docs top.txt", tree);
    else
        runChecked("zip -qr " + shellQuote(archive) + " docs top.txt", tree);
    openAndWait(archive);

    model().setFolder("docs/b/");
    model().setSelection({"docs/b/c.txt"});
    model().previewEntry();
    waitUntilIdle();
    ASSERT_TRUE(model().previewURL()) << model().errorMessage().value_or("");
    EXPECT_EQ(model().previewURL()->filename(), "c.txt");
    EXPECT_EQ(readFile(*model().previewURL()), sampleBytes(5000, 7, true));
}

INSTANTIATE_TEST_SUITE_P(Formats, PreviewFormatTest,
                         ::testing::Values("a.zip", "a.rar", "a.7z", "a.tar.gz", "lib.jar"));

// The bookkeeping of a drag to the file manager

class DragExportTest : public WorkspaceOperationTest {
  protected:
    void beginDrag(int items) {
        model().setExportRemaining(items);
        model().setExportErrors({});
        model().setExportedCount(0);
        model().beginOperation("Extrayendo " + std::to_string(items) +
                                   " elemento(s) al gestor de archivos",
                               Progress::make(items));
    }
};

TEST_F(DragExportTest, AllItemsWrittenLogOneSuccess) {
    beginDrag(2);
    model().finishDragExportItem(std::nullopt, work / "a.txt");
    EXPECT_TRUE(model().isBusy()) << "the drag ends with its last item";
    model().finishDragExportItem(std::nullopt, work / "b.txt");

    EXPECT_FALSE(model().isBusy());
    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_TRUE(model().records().front().succeeded);
    EXPECT_EQ(model().records().front().title, "Extrayendo 2 elemento(s) al gestor de archivos");
    EXPECT_EQ(model().statusMessage(), "2 elemento(s) extraído(s) al gestor de archivos");
    EXPECT_EQ(model().lastOutput(), work);

    model().finishDragExportItem(std::nullopt, work / "c.txt"); // a surplus completion
    EXPECT_EQ(model().records().size(), 1u);
    EXPECT_EQ(model().exportedCount(), 2);
}

TEST_F(DragExportTest, FailuresLogTheFirstErrorOrTheCancellation) {
    const std::string wrong = ArchiveFailure::wrongPassword().message();
    model().setArchivePassword("vieja");
    beginDrag(3);
    model().finishDragExportItem(std::nullopt, work / "a.txt");
    model().finishDragExportItem(wrong, work / "b.txt");
    model().finishDragExportItem(std::nullopt, work / "c.txt");

    EXPECT_FALSE(model().isBusy());
    ASSERT_EQ(model().records().size(), 1u);
    EXPECT_FALSE(model().records().front().succeeded);
    EXPECT_EQ(model().records().front().detail, "Se extrajeron 2 elemento(s). " + wrong);
    EXPECT_EQ(model().errorMessage(), "Se extrajeron 2 elemento(s). " + wrong);
    EXPECT_FALSE(model().statusMessage());
    EXPECT_FALSE(model().archivePassword());

    beginDrag(2);
    model().finishDragExportItem(std::nullopt, work / "a.txt");
    model().cancelOperation();
    model().finishDragExportItem(ArchiveFailure::corrupt("x").message(), work / "b.txt");
    EXPECT_EQ(model().records().front().detail,
              "Se extrajeron 1 elemento(s). La extracción se canceló.");
}

} // namespace
} // namespace vexa::testing
