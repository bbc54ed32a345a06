#include "tests/ui/SessionHarness.h"
#include "ui/InterruptSignal.h"

#include <csignal>
#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// docs/informe.txt, docs/b/c.txt and file10.txt, File2.txt, file1.txt, zipped by Info-ZIP.
fs::path makeSampleZip(const fs::path& folder, const std::string& zipOptions = "") {
    const auto source = folder / "src";
    fs::create_directories(source / "docs/b");
    writeFile(source / "docs/informe.txt", "informe final\n");
    writeFile(source / "docs/b/c.txt", "ce\n");
    for (const char* name : {"file10.txt", "File2.txt", "file1.txt"})
        writeFile(source / name, std::string("contenido de ") + name);
    runChecked("zip -qr " + zipOptions + " ../muestra.zip docs file10.txt File2.txt file1.txt",
               source);
    return folder / "muestra.zip";
}

TEST(TerminalBrowsing, ListsFoldersSearchesAndNumbersRows) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    auto shown = h.run("abrir " + shellQuote(archive.string()) + "; ls");
    EXPECT_TRUE(contains(shown, "Abierto: muestra.zip (ZIP, "));
    // Folders first, then the file manager's order.
    EXPECT_TRUE(contains(shown, "Carpeta: /\n"
                                "    1. docs/\n"
                                "    2. file1.txt  (22 bytes)\n"
                                "    3. File2.txt  (22 bytes)\n"
                                "    4. file10.txt  (23 bytes)\n"))
        << shown;

    shown = h.run("cd docs");
    EXPECT_TRUE(contains(shown, "Carpeta: /docs/\n    1. b/\n    2. informe.txt")) << shown;
    shown = h.run("cd 1; cd ..; cd ..");
    EXPECT_TRUE(contains(shown, "Carpeta: /docs/b/\n    1. c.txt")) << shown;
    EXPECT_EQ(h.model->folder(), "");

    shown = h.run("cd docs; buscar INFORME");
    EXPECT_TRUE(contains(shown, "Resultados de «INFORME»:\n    1. docs/informe.txt")) << shown;
    shown = h.run("seleccionar 1; ls");
    EXPECT_TRUE(contains(shown, " *  1. docs/informe.txt")) << shown;
    // Entering a folder clears the search and the selection.
    h.run("buscar; cd /; cd docs");
    EXPECT_TRUE(h.model->selection().empty());

    shown = h.run("seleccionar 9; cd nada; vista-previa; ordenar");
    EXPECT_TRUE(contains(shown, "No hay ninguna fila 9.")) << shown;
    EXPECT_TRUE(contains(shown, "No hay ninguna carpeta «nada».")) << shown;
    EXPECT_TRUE(contains(shown, "Uso: vista-previa n")) << shown;
    EXPECT_TRUE(contains(shown, "Orden desconocida: ordenar.")) << shown;
    EXPECT_FALSE(h.session->errorShown());
}

TEST(TerminalBrowsing, NamesWithControlCharactersAreShownEscaped) {
    SessionHarness h;
    runChecked("/usr/bin/python3 -c \"import zipfile; z = zipfile.ZipFile('raro.zip', 'w'); "
               "z.writestr('a\\x1b[31mrojo\\nb.txt', 'x'); z.writestr('c.txt', 'y')\"",
               h.temporary.path());
    const auto shown = h.run("abrir " + shellQuote((h.temporary / "raro.zip").string()) + "; ls");
    // One row per entry, nothing raw reaches the terminal.
    EXPECT_TRUE(contains(shown, "    1. a\\033[31mrojo\\nb.txt  (1 bytes)\n    2. c.txt")) << shown;
    EXPECT_FALSE(contains(shown, "\x1b")) << shown;
}

TEST(TerminalExtraction, AllOrSelectionIntoTheFolderTyped) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    const auto destination = h.temporary / "destino";
    fs::create_directory(destination);
    h.run("abrir " + shellQuote(archive.string()));

    h.answers(destination.string() + "\n");
    auto shown = h.run("extraer");
    EXPECT_TRUE(
        contains(shown, "Extracción completada\nResultado: " + (destination / "muestra").string()))
        << shown;
    EXPECT_EQ(readFile(destination / "muestra/docs/b/c.txt"), "ce\n");
    EXPECT_EQ(readFile(destination / "muestra/File2.txt"), "contenido de File2.txt");

    // Nothing selected: no panel, nothing happens.
    h.answers("");
    shown = h.run("extraer-seleccion");
    EXPECT_FALSE(contains(shown, "Extraer aquí")) << shown;

    h.answers(destination.string() + "\n");
    h.run("seleccionar 1; extraer-seleccion");
    EXPECT_EQ(readFile(destination / "muestra 2/docs/informe.txt"), "informe final\n");
    EXPECT_FALSE(fs::exists(destination / "muestra 2/file1.txt"));

    // A cancelled panel extracts nothing and reports nothing.
    h.answers("\n");
    shown = h.run("extraer");
    EXPECT_FALSE(fs::exists(destination / "muestra 3"));
    EXPECT_FALSE(h.session->errorShown());

    shown = h.run("actividad");
    EXPECT_TRUE(contains(shown, "bien   Extrayendo selección: Extracción completada")) << shown;
    EXPECT_TRUE(contains(shown, "bien   Extrayendo muestra.zip: Extracción completada")) << shown;
    // The progress output named each operation.
    EXPECT_TRUE(contains(h.progress.str(), "Extrayendo muestra.zip…\n")) << h.progress.str();
}

TEST(TerminalExtraction, TheInspectorButtonTakesTheSelectionOnlyWhenThereIsOne) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    const auto destination = h.temporary / "destino";
    fs::create_directory(destination);
    auto shown = h.run("abrir " + shellQuote(archive.string()) + "; inspector");
    EXPECT_TRUE(contains(shown, "muestra.zip\n  tipo: ZIP")) << shown;
    EXPECT_TRUE(contains(shown, "  seleccionados: 0\n  botones: Extraer todo…\n")) << shown;

    h.answers(destination.string() + "\n");
    h.run("inspector extraer");
    EXPECT_EQ(readFile(destination / "muestra/docs/b/c.txt"), "ce\n");

    h.answers(destination.string() + "\n");
    shown = h.run("seleccionar 2; inspector; inspector extraer");
    EXPECT_TRUE(contains(shown, "  botones: Extraer selección…\n")) << shown;
    EXPECT_TRUE(fs::exists(destination / "muestra 2/file1.txt"));
    EXPECT_FALSE(fs::exists(destination / "muestra 2/docs"));

    // A single archive has no button to save it as one file.
    shown = h.run("inspector guardar-unico");
    EXPECT_TRUE(contains(shown, "Uso: inspector [extraer]")) << shown;
}

TEST(TerminalPreview, ShowsThePreviewFileAndRemovesItWhenClosed) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    auto shown = h.run("abrir " + shellQuote(archive.string()) + "; vista-previa 2");
    ASSERT_TRUE(h.model->previewURL());
    const auto preview = *h.model->previewURL();
    EXPECT_TRUE(contains(shown, "Vista previa: " + preview.string() + "\n")) << shown;
    EXPECT_EQ(readFile(preview), "contenido de file1.txt");

    // A folder row has no preview: the open one and the selection stay.
    shown = h.run("vista-previa 1");
    EXPECT_TRUE(contains(shown, "Es una carpeta; «cd 1» entra en ella.")) << shown;
    EXPECT_EQ(h.model->previewURL(), preview);
    EXPECT_EQ(h.model->selection(), std::set<std::string>{"file1.txt"});
    h.run("cerrar-vista-previa");
    EXPECT_FALSE(h.model->previewURL());
    EXPECT_FALSE(fs::exists(preview.parent_path()));
}

TEST(TerminalDragOut, WritesEachEntryUnderAFreeNameWithThePassword) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path(), "-P secreto");
    const auto destination = h.temporary / "escritorio";
    fs::create_directory(destination);
    writeFile(destination / "file1.txt", "mío");
    h.run("abrir " + shellQuote(archive.string()));

    h.answers("secreto\n\n");
    auto shown = h.run("arrastrar 2 3 " + shellQuote(destination.string()));
    EXPECT_TRUE(contains(shown, "Contraseña del ZIP")) << shown;
    EXPECT_TRUE(contains(shown, "2 elemento(s) extraído(s) al gestor de archivos")) << shown;
    EXPECT_EQ(readFile(destination / "file1.txt"), "mío");
    EXPECT_EQ(readFile(destination / "file1 2.txt"), "contenido de file1.txt");
    EXPECT_EQ(readFile(destination / "File2.txt"), "contenido de File2.txt");
    EXPECT_TRUE(contains(h.progress.str(), "Extrayendo 2 elemento(s) al gestor de archivos…"));
    EXPECT_FALSE(h.model->isBusy());
}

TEST(TerminalDragOut, AWrongPasswordIsReportedOnceAndForgotten) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path(), "-P secreto");
    const auto destination = h.temporary / "escritorio";
    fs::create_directory(destination);
    h.run("abrir " + shellQuote(archive.string()));

    h.answers("otra\n\n");
    const auto shown = h.run("arrastrar 2 " + shellQuote(destination.string()));
    EXPECT_TRUE(contains(shown, "No se pudo completar la operación\nSe extrajeron 0 elemento(s). "))
        << shown;
    EXPECT_TRUE(h.session->errorShown());
    EXPECT_FALSE(h.model->errorMessage());
    EXPECT_FALSE(h.model->archivePassword());
    EXPECT_FALSE(h.model->isBusy());
}

TEST(TerminalOpening, EncryptedRarAsksForThePasswordOnTheTerminal) {
    ASSERT_TRUE(toolInstalled("rar"));
    SessionHarness h;
    writeFile(h.temporary / "secreto.txt", "muy secreto");
    runChecked("printf 'clave\\n' | rar a -idq -hp cifrado.rar secreto.txt", h.temporary.path());

    h.answers("mala\nclave\n");
    const auto shown =
        h.run("abrir " + shellQuote((h.temporary / "cifrado.rar").string()) + "; ls");
    EXPECT_TRUE(contains(shown, "Abierto: cifrado.rar (RAR, 1 elemento)")) << shown;
    EXPECT_TRUE(contains(shown, "1. secreto.txt  (11 bytes)")) << shown;
    EXPECT_EQ(h.model->archivePassword(), "clave");
}

TEST(TerminalOpening, FailuresAreShownOnceAndCleared) {
    SessionHarness h;
    writeFile(h.temporary / "roto.zip", "esto no es un zip");
    const auto shown = h.run("abrir " + shellQuote((h.temporary / "roto.zip").string()) + "; ls");
    EXPECT_TRUE(contains(shown, "\nNo se pudo completar la operación\n")) << shown;
    EXPECT_TRUE(contains(shown, "No hay ningún archivo abierto.")) << shown;
    EXPECT_TRUE(h.session->errorShown());
    EXPECT_FALSE(h.model->errorMessage());
}

TEST(TerminalOpening, ATypedLocationThatDoesNotExistIsOnlyReported) {
    SessionHarness h;
    const auto missing = h.temporary / "falta.zip";
    const auto shown = h.run("abrir " + shellQuote(missing.string()));
    EXPECT_TRUE(contains(shown, "No existe: " + missing.string() + "\n")) << shown;
    EXPECT_FALSE(h.session->errorShown()) << shown;
    EXPECT_TRUE(h.model->records().empty());
}

TEST(TerminalRecents, ListsNewestFirstAndReopens) {
    SessionHarness h;
    const auto first = makeSampleZip(h.temporary.path());
    const auto second = h.temporary / "otro.zip";
    fs::copy_file(first, second);
    auto shown = h.run("recientes");
    EXPECT_TRUE(contains(shown, "No hay archivos recientes.")) << shown;
    h.run("abrir " + shellQuote(first.string()) + "; abrir " + shellQuote(second.string()));
    shown = h.run("recientes; reciente 2; reciente 5");
    EXPECT_TRUE(contains(shown, "  1. otro.zip\n  2. muestra.zip\n")) << shown;
    EXPECT_EQ(h.model->archive()->url, first);
    EXPECT_TRUE(contains(shown, "Uso: reciente n (n entre 1 y 2)")) << shown;

    // Opening the archive already shown (now the newest) reports it again.
    shown = h.run("reciente 1");
    EXPECT_TRUE(contains(shown, "Abierto: muestra.zip")) << shown;

    // A recent archive that is gone cannot be reached again.
    fs::remove(second);
    shown = h.run("reciente 2");
    EXPECT_TRUE(contains(shown, "No se pudo recuperar el acceso.")) << shown;
}

TEST(TerminalDrops, ADroppedArchiveIsOpened) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    auto shown = h.run("soltar " + shellQuote(archive.string()) + "; soltar");
    EXPECT_TRUE(contains(shown, "Abierto: muestra.zip")) << shown;
    EXPECT_TRUE(contains(shown, "No se aceptó lo soltado.")) << shown;

    // Other files become sources of a new archive, and the create page shows them.
    const auto file = h.temporary / "src/file1.txt";
    shown = h.run("fuentes; soltar " + shellQuote(file.string()));
    EXPECT_TRUE(contains(shown, "Fuentes:\n  1. " + file.string() + "\n")) << shown;
}

// An archive whose extraction lasts long enough to be interrupted.
fs::path makeLargeZip(const fs::path& folder) {
    writeFile(folder / "grande.bin", sampleBytes(48u << 20, 7, false));
    runChecked("zip -q -0 grande.zip grande.bin", folder);
    fs::remove(folder / "grande.bin");
    return folder / "grande.zip";
}

TEST(TerminalCancellation, CtrlCCancelsTheRunningOperation) {
    SessionHarness h;
    const auto archive = makeLargeZip(h.temporary.path());
    const auto destination = h.temporary / "destino";
    fs::create_directory(destination);
    h.run("abrir " + shellQuote(archive.string()));
    installInterruptHandler();

    h.answers(destination.string() + "\n");
    ASSERT_TRUE(h.session->dispatch("extraer"));
    ASSERT_TRUE(h.model->isBusy());
    std::raise(SIGINT);
    h.session->waitUntilIdle();
    EXPECT_TRUE(contains(h.output.str(), "Operación cancelada. No se guardó ningún resultado "
                                         "parcial."))
        << h.output.str();
    EXPECT_TRUE(fs::is_empty(destination));
}

TEST(TerminalCancellation, TermCancelsTheRunningOperationAsCtrlCDoes) {
    // In a child process of its own: the termination stays noted for the rest of the process.
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            bool cancelled = false;
            {
                SessionHarness h;
                const auto archive = makeLargeZip(h.temporary.path());
                const auto destination = h.temporary / "destino";
                fs::create_directory(destination);
                h.run("abrir " + shellQuote(archive.string()));
                installInterruptHandler();
                h.answers(destination.string() + "\n");
                h.session->dispatch("extraer");
                std::raise(SIGTERM);
                h.session->waitUntilIdle();
                cancelled = contains(h.output.str(), WorkspaceModel::cancellationMessage()) &&
                            fs::is_empty(destination) && terminationSignal() == SIGTERM &&
                            h.session->lastOutcome() == Outcome::cancelled;
            }
            // The harness is gone first, so that its temporary folder goes with it.
            std::_Exit(cancelled ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TerminalCancellation, ACtrlCBeforeTheOperationBeganIsIgnored) {
    SessionHarness h;
    const auto archive = makeSampleZip(h.temporary.path());
    const auto destination = h.temporary / "destino";
    fs::create_directory(destination);
    h.run("abrir " + shellQuote(archive.string()));
    installInterruptHandler();

    // As when Ctrl-C is typed while the folder panel waits for its answer.
    h.answers(destination.string() + "\n");
    std::raise(SIGINT);
    h.model->extractEntries(false);
    h.session->waitUntilIdle();
    EXPECT_TRUE(h.model->records().front().succeeded) << h.output.str();
    EXPECT_EQ(readFile(destination / "muestra/file1.txt"), "contenido de file1.txt");
}

TEST(TerminalQuit, CancelAndQuitWaitsUntilTheModelIsIdle) {
    SessionHarness h;
    const auto archive = makeLargeZip(h.temporary.path());
    const auto destination = h.temporary / "destino";
    fs::create_directory(destination);
    h.run("abrir " + shellQuote(archive.string()));
    EXPECT_TRUE(h.session->requestQuit()); // idle: nothing to ask

    h.answers(destination.string() + "\n2\n1\n");
    ASSERT_TRUE(h.session->dispatch("extraer"));
    ASSERT_TRUE(h.model->isBusy());
    EXPECT_FALSE(h.session->requestQuit()); // "Continuar"
    EXPECT_TRUE(h.model->isBusy());
    EXPECT_TRUE(h.session->requestQuit()); // "Cancelar y salir"
    EXPECT_FALSE(h.model->isBusy());
    EXPECT_TRUE(contains(h.output.str(), "Hay una operación en curso\n  1. Cancelar y salir\n"))
        << h.output.str();
    EXPECT_FALSE(h.model->records().front().succeeded);
    EXPECT_TRUE(fs::is_empty(destination));

    EXPECT_FALSE(h.session->execute("salir"));
}

TEST(TerminalDefaultApplication, ReportsWhenTheDesktopToolIsMissing) {
    SessionHarness h;
    const auto shown = h.run("predeterminado");
    EXPECT_TRUE(h.session->errorShown()) << shown;
    EXPECT_FALSE(h.model->isDefaultApp());
}

} // namespace
} // namespace vexa::testing
