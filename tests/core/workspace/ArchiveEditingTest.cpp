#include "OperationTestSupport.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/Bookmarks.h"
#include "tests/core/ScopedRarLocations.h"

#include <algorithm>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

bool lists(const WorkspaceModel& model, const std::string& path) {
    const auto& entries = model.archive()->entries;
    return std::any_of(entries.begin(), entries.end(),
                       [&](const ArchiveItem& entry) { return entry.path == path; });
}

class ArchiveEditingTest : public WorkspaceOperationTest {
  protected:
    ArchiveEditingTest() : rar_(withRar()) {}

    // The rar program of this machine, offered as the application's own.
    RarLocations withRar() {
        const auto resources = harness.temporary / "resources";
        fs::create_directories(resources);
        fs::create_symlink("/usr/bin/rar", resources / "rar");
        return RarLocations{resources, {}};
    }
    fs::path zipOfTree(const std::string& name) {
        const auto tree = sampleTree();
        runChecked("zip -qr " + shellQuote((work / name).string()) + " docs top.txt", tree);
        return work / name;
    }
    fs::path tarOfTree(const std::string& name) {
        const auto tree = sampleTree();
        runChecked("bsdtar -czf " + shellQuote((work / name).string()) + " docs top.txt", tree);
        return work / name;
    }
    void select(std::set<std::string> paths) { model().setSelection(std::move(paths)); }
    void expectUpdated(const std::string& title, const std::string& kind) {
        ASSERT_FALSE(model().records().empty());
        const auto& record = model().records().front();
        EXPECT_TRUE(record.succeeded) << record.detail;
        EXPECT_EQ(record.title, title);
        EXPECT_EQ(record.detail, kind + " actualizado");
        EXPECT_TRUE(model().selection().empty());
        EXPECT_FALSE(model().errorMessage());
    }
    void expectFailed(const std::string& message) {
        ASSERT_FALSE(model().records().empty());
        EXPECT_FALSE(model().records().front().succeeded);
        EXPECT_EQ(model().errorMessage(), message);
    }
    AlertResponse answer(int button, std::string text = {}) {
        return AlertResponse{button, std::move(text)};
    }

  private:
    ScopedRarLocations rar_;
};

TEST_F(ArchiveEditingTest, ArchivesThatCannotBeEditedOnlyShowWhy) {
    writeFile(work / "grande.bin", sampleBytes(200000, 11, false));
    runChecked("zip -q -s 64k conjunto.zip grande.bin", work);
    writeFile(work / "notas.txt", "texto\n");
    runChecked("gzip -k notas.txt", work);
    runChecked("zip -q app.apk notas.txt", work);
    const auto rar = work / "datos.rar";
    runChecked("rar a -idq datos.rar notas.txt", work);

    struct Row {
        fs::path archive;
        std::string entry;
        ArchiveFailure refusal;
        bool withoutRar = false;
    };
    const std::vector<Row> rows = {
        {work / "conjunto.zip", "grande.bin", ArchiveFailure::splitEditing()},
        {work / "notas.txt.gz", "notas.txt", ArchiveFailure::readOnlySingle()},
        {work / "app.apk", "notas.txt", ArchiveFailure::readOnlyAndroid()},
        {rar, "notas.txt", ArchiveFailure::readOnlyRAR(), true},
    };
    for (const Row& row : rows) {
        harness.dialogs.answerOpenPanel({work}); // the split set's folder
        model().openArchive(row.archive);
        waitUntilIdle();
        ASSERT_TRUE(model().archive()) << row.archive << model().errorMessage().value_or("");
        std::optional<ScopedRarLocations> noRar;
        if (row.withoutRar)
            noRar.emplace(RarLocations{std::nullopt, {}});
        const auto alertsBefore = harness.dialogs.alerts.size();
        const auto recordsBefore = model().records().size();
        for (int operation = 0; operation < 3; ++operation) {
            model().setErrorMessage(std::nullopt);
            select({row.entry});
            if (operation == 0)
                model().renameEntry();
            else if (operation == 1)
                model().deleteEntries();
            else
                model().addFiles({work / "notas.txt"}, "");
            EXPECT_EQ(model().errorMessage(), row.refusal.message()) << row.archive << operation;
            EXPECT_FALSE(model().isBusy());
        }
        EXPECT_EQ(harness.dialogs.alerts.size(), alertsBefore);
        EXPECT_EQ(model().records().size(), recordsBefore);
        harness.dialogs.openAnswers.clear();
    }
}

TEST_F(ArchiveEditingTest, RenameInZIPAsksForTheNameAndListsAgain) {
    const auto archive = zipOfTree("fotos.zip");
    openAndWait(archive);
    model().setFolder("docs/");
    select({"docs/b/"});
    harness.dialogs.answerAlert(answer(1000, "nueva"));
    model().renameEntry();
    EXPECT_EQ(model().operationTitle(), "Renombrando");
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
    const auto& alert = harness.dialogs.alerts.front();
    EXPECT_EQ(alert.messageText, "Renombrar «b»");
    EXPECT_TRUE(alert.hasTextField);
    EXPECT_EQ(alert.initialText, "b");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Renombrar", "Cancelar"}));
    expectUpdated("Renombrando", "ZIP");
    EXPECT_EQ(model().lastOutput(), archive);
    EXPECT_EQ(model().folder(), "docs/");
    EXPECT_TRUE(lists(model(), "docs/nueva/c.txt"));
    EXPECT_FALSE(lists(model(), "docs/b/c.txt"));
    EXPECT_EQ(runChecked("unzip -p fotos.zip docs/nueva/c.txt | md5sum", work),
              runChecked("md5sum < tree/docs/b/c.txt", work));
}

TEST_F(ArchiveEditingTest, RenameThatChangesNothingStartsNothing) {
    openAndWait(zipOfTree("a.zip"));
    select({"top.txt"});
    harness.dialogs.answerAlert(answer(1000, "top.txt"));
    model().renameEntry();
    harness.dialogs.answerAlert(answer(1001, "otro.txt"));
    model().renameEntry();
    EXPECT_FALSE(model().isBusy());
    EXPECT_TRUE(model().records().empty());
    EXPECT_EQ(model().selection(), std::set<std::string>{"top.txt"});
}

TEST_F(ArchiveEditingTest, SevenZipAndRARRefuseUnsafeNewNames) {
    const auto tree = sampleTree();
    runChecked("bsdtar --format 7zip -cf ../copia.7z docs top.txt", tree);
    runChecked("rar a -idq ../copia.rar docs top.txt", tree);
    for (const char* name : {"copia.7z", "copia.rar"}) {
        const auto archive = work / name;
        openAndWait(archive);
        const std::string before = readFile(archive);
        for (const std::string newName : {"a/b", "a:b", "a\\b", "", ".", ".."}) {
            select({"top.txt"});
            harness.dialogs.answerAlert(answer(1000, newName));
            model().renameEntry();
            waitUntilIdle();
            expectFailed(ArchiveFailure::unsafePath(newName).message());
        }
        EXPECT_EQ(readFile(archive), before) << name;
        EXPECT_TRUE(lists(model(), "top.txt"));
    }
}

TEST_F(ArchiveEditingTest, DeleteAsksWithCountAndKindAndCancelIsTheDefault) {
    const auto archive = tarOfTree("copia.tar.gz");
    openAndWait(archive);
    select({"top.txt", "docs/b/"});
    harness.dialogs.answerAlert(answer(1000));
    model().deleteEntries();
    EXPECT_FALSE(model().isBusy());
    ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
    const auto& alert = harness.dialogs.alerts.front();
    EXPECT_TRUE(alert.warningStyle);
    EXPECT_EQ(alert.messageText, "¿Eliminar 2 elemento(s) del TAR?");
    EXPECT_EQ(alert.informativeText, "Las carpetas seleccionadas incluyen todo su contenido. "
                                     "Esta acción modifica el TAR y no se puede deshacer.");
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Cancelar", "Eliminar"}));

    harness.dialogs.answerAlert(answer(1001));
    model().deleteEntries();
    waitUntilIdle();
    expectUpdated("Eliminando del TAR", "TAR");
    EXPECT_EQ(runChecked("bsdtar -tf copia.tar.gz | sort", work), "docs/\ndocs/a.txt\n");
}

TEST_F(ArchiveEditingTest, AnArchiveChangedSinceItWasOpenedIsNotEdited) {
    const auto archive = tarOfTree("copia.tar.gz");
    openAndWait(archive);
    const auto summary = model().archive();
    // Another program rewrites the archive without the entry about to be renamed.
    runChecked("bsdtar -czf copia.tar.gz -C tree docs", work);
    const std::string replaced = readFile(archive);
    select({"top.txt"});
    harness.dialogs.answerAlert(answer(1000, "nuevo.txt"));
    model().renameEntry();
    waitUntilIdle();

    expectFailed(ArchiveFailure::archiveChanged().message());
    EXPECT_EQ(model().archive(), summary);
    EXPECT_EQ(readFile(archive), replaced);
}

TEST_F(ArchiveEditingTest, AddIntoAFolderWithoutRepeatedNamesAsksNothing) {
    const auto archive = zipOfTree("fotos.zip");
    openAndWait(archive);
    model().setRecents({});
    writeFile(work / "nuevo.txt", "nuevo\n");
    model().addFiles({work / "nuevo.txt"}, "docs/");
    EXPECT_EQ(model().operationTitle(), "Añadiendo archivos a fotos.zip");
    waitUntilIdle();

    EXPECT_TRUE(harness.dialogs.alerts.empty());
    expectUpdated("Añadiendo archivos a fotos.zip", "ZIP");
    EXPECT_EQ(runChecked("unzip -p fotos.zip docs/nuevo.txt", work), "nuevo\n");
    ASSERT_EQ(model().recents().size(), 1u);
    EXPECT_EQ(model().recents().front().name, "fotos.zip");
    // Only the open archive is still accessed.
    EXPECT_EQ(bookmarks::openAccess().size(), 1u);
}

TEST_F(ArchiveEditingTest, ARepeatedNameAsksAndTheAnswerDecides) {
    struct Row {
        int button;
        std::string topContent; // of top.txt afterwards
        bool keptBoth;
        bool cancelled;
    };
    const std::vector<Row> rows = {
        {1000, "arriba\n", true, false},
        {1001, "reemplazo\n", false, false},
        {1002, "arriba\n", false, false},
        {1003, "arriba\n", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.button);
        const auto name = "a" + std::to_string(row.button) + ".zip";
        const auto archive = zipOfTree(name);
        openAndWait(archive);
        const auto entriesBefore = model().archive()->entries.size();
        fs::create_directories(work / "otros");
        writeFile(work / "otros/top.txt", "reemplazo\n");
        writeFile(work / "otros/extra.txt", "extra\n");
        harness.dialogs.answerAlert(answer(row.button));
        model().addFiles({work / "otros/top.txt", work / "otros/extra.txt"}, "");
        waitUntilIdle();

        ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
        const auto& alert = harness.dialogs.alerts.front();
        EXPECT_EQ(alert.messageText, "Ya existe «top.txt»");
        EXPECT_EQ(alert.informativeText,
                  "Elige qué hacer con los nombres repetidos de esta operación. Reemplazar una "
                  "carpeta sustituye todo su contenido.");
        EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Conservar ambos", "Reemplazar",
                                                           "Omitir repetidos", "Cancelar"}));
        harness.dialogs.alerts.clear();
        EXPECT_EQ(runChecked("unzip -p " + name + " top.txt", work), row.topContent);
        if (row.cancelled) {
            EXPECT_EQ(model().statusMessage(), WorkspaceModel::cancellationMessage());
            EXPECT_FALSE(model().records().front().succeeded);
            EXPECT_EQ(model().archive()->entries.size(), entriesBefore);
            continue;
        }
        expectUpdated("Añadiendo archivos a " + name, "ZIP");
        EXPECT_EQ(model().archive()->entries.size(), entriesBefore + (row.keptBoth ? 2 : 1));
        EXPECT_EQ(runChecked("unzip -p " + name + " extra.txt", work), "extra\n");
        EXPECT_EQ(bookmarks::openAccess().size(), 1u);
    }
}

TEST_F(ArchiveEditingTest, ASignedJARWarnsOncePerArchive) {
    runChecked("python3 -c \"import zipfile\n"
               "with zipfile.ZipFile('lib.jar', 'w') as z:\n"
               "    z.writestr('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\\n')\n"
               "    z.writestr('META-INF/CLAVE.SF', 'x')\n"
               "    z.writestr('META-INF/CLAVE.RSA', 'x')\n"
               "    z.writestr('a.txt', 'a')\n"
               "    z.writestr('b.txt', 'b')\n\"",
               work);
    const auto archive = work / "lib.jar";
    openAndWait(archive);
    ASSERT_TRUE(model().archive()->isSigned);

    select({"a.txt"});
    harness.dialogs.answerAlert(answer(1001));
    model().deleteEntries();
    ASSERT_EQ(harness.dialogs.alerts.size(), 1u) << "refusing the warning asks nothing more";
    EXPECT_EQ(harness.dialogs.alerts[0].messageText, "Este JAR está firmado");
    EXPECT_EQ(harness.dialogs.alerts[0].buttons,
              (std::vector<std::string>{"Modificar de todos modos", "Cancelar"}));
    EXPECT_FALSE(model().errorMessage());
    EXPECT_FALSE(model().signedWarningAccepted());

    harness.dialogs.answerAlert(answer(1000));
    harness.dialogs.answerAlert(answer(1001));
    model().deleteEntries();
    waitUntilIdle();
    expectUpdated("Eliminando del JAR", "JAR");
    EXPECT_EQ(model().signedWarningAccepted(), archive);

    select({"b.txt"});
    harness.dialogs.answerAlert(answer(1000, "c.txt"));
    model().renameEntry();
    waitUntilIdle();
    EXPECT_EQ(harness.dialogs.alerts.size(), 4u) << "the second edit only asks for the name";
    expectUpdated("Renombrando", "JAR");
    EXPECT_TRUE(lists(model(), "c.txt"));
    EXPECT_FALSE(lists(model(), "a.txt"));
}

TEST_F(ArchiveEditingTest, RARAsksForThePasswordOfItsEntriesBeforeAnEdit) {
    const auto tree = sampleTree();
    runChecked("rar a -idq -psecreto ../cifrado.rar docs top.txt", tree);
    const auto archive = work / "cifrado.rar";
    openAndWait(archive);
    select({"top.txt"});
    harness.dialogs.answerAlert(answer(1000, "secreto"));
    harness.dialogs.answerAlert(answer(1000, "arriba.txt"));
    model().renameEntry();
    waitUntilIdle();
    ASSERT_EQ(harness.dialogs.alerts.size(), 2u);
    EXPECT_EQ(harness.dialogs.alerts[0].messageText, "Contraseña del RAR");
    EXPECT_EQ(harness.dialogs.alerts[1].messageText, "Renombrar «top.txt»");
    expectUpdated("Renombrando", "RAR");
    EXPECT_EQ(model().archivePassword(), "secreto");

    select({"docs/b/", "arriba.txt"});
    harness.dialogs.answerAlert(answer(1001));
    model().deleteEntries();
    waitUntilIdle();
    expectUpdated("Eliminando del RAR", "RAR");
    EXPECT_EQ(runChecked("unrar lb -psecreto cifrado.rar | sort", work), "docs\ndocs/a.txt\n");
    EXPECT_EQ(runChecked("unrar p -inul -psecreto cifrado.rar docs/a.txt", work),
              "primer archivo\n");
}

TEST_F(ArchiveEditingTest, AddingToARARKeepsBothNamesWhenAsked) {
    const auto tree = sampleTree();
    runChecked("rar a -idq ../datos.rar docs top.txt", tree);
    openAndWait(work / "datos.rar");
    fs::create_directories(work / "otros");
    writeFile(work / "otros/a.txt", "otra a\n");
    harness.dialogs.answerAlert(answer(1000));
    model().addFiles({work / "otros/a.txt"}, "docs/");
    waitUntilIdle();

    ASSERT_EQ(harness.dialogs.alerts.size(), 1u);
    EXPECT_EQ(harness.dialogs.alerts.front().messageText, "Ya existe «a.txt»");
    expectUpdated("Añadiendo archivos a datos.rar", "RAR");
    EXPECT_EQ(runChecked("unrar p -inul datos.rar docs/a.txt", work), "primer archivo\n");
    EXPECT_EQ(model().archive()->entries.size(), 6u);
}

TEST_F(ArchiveEditingTest, ThePanelAddsToTheShownArchiveOrElseToTheSources) {
    const auto archive = zipOfTree("fotos.zip");
    writeFile(work / "nuevo.txt", "nuevo\n");
    harness.dialogs.answerOpenPanel({work / "nuevo.txt"});
    model().chooseFilesToAdd();
    EXPECT_EQ(model().sources(), std::vector<fs::path>{work / "nuevo.txt"});
    EXPECT_EQ(model().page(), WorkspacePage::create);
    const auto& panel = harness.dialogs.openPanels.front();
    EXPECT_TRUE(panel.canChooseFiles && panel.canChooseDirectories &&
                panel.allowsMultipleSelection);
    EXPECT_EQ(panel.prompt, "Añadir");

    openAndWait(archive);
    model().setFolder("docs/");
    harness.dialogs.answerOpenPanel({work / "nuevo.txt"});
    model().chooseFilesToAdd();
    waitUntilIdle();
    expectUpdated("Añadiendo archivos a fotos.zip", "ZIP");
    EXPECT_TRUE(lists(model(), "docs/nuevo.txt"));
}

TEST_F(ArchiveEditingTest, CancellingAnAddKeepsTheArchiveAsItWas) {
    const auto archive = zipOfTree("fotos.zip");
    openAndWait(archive);
    const std::string before = readFile(archive);
    writeFile(harness.temporary / "grande.bin", sampleBytes(24 << 20, 4, true));
    model().addFiles({harness.temporary / "grande.bin"}, "");
    ASSERT_TRUE(model().isBusy());
    model().cancelOperation();
    waitUntilIdle();

    EXPECT_EQ(model().statusMessage(), WorkspaceModel::cancellationMessage());
    EXPECT_EQ(readFile(archive), before);
    std::vector<fs::path> items;
    for (const auto& item : fs::directory_iterator(work))
        items.push_back(item.path().filename());
    std::sort(items.begin(), items.end());
    EXPECT_EQ(items, (std::vector<fs::path>{"fotos.zip", "tree"})) << "no work folder is left";
    EXPECT_EQ(bookmarks::openAccess().size(), 1u);
}

} // namespace
} // namespace vexa::testing
