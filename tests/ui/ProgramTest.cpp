#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// The program with private settings and desktop folders, so the machine's own stay untouched.
std::string programLine(const TemporaryDirectory& folder, const std::string& arguments,
                        const std::string& input, const std::string& extraEnvironment) {
    writeFile(folder / "entrada.txt", input);
    const std::string environment = extraEnvironment +
                                    " XDG_CONFIG_HOME=" + shellQuote((folder / "config").string()) +
                                    " XDG_DATA_HOME=" + shellQuote((folder / "data").string()) +
                                    " XDG_DATA_DIRS=" + shellQuote((folder / "none").string());
    return environment + " " + shellQuote(VEXA_PROGRAM) + " " + arguments + " < entrada.txt";
}

CommandResult runProgram(const TemporaryDirectory& folder, const std::string& arguments,
                         const std::string& input, const std::string& extraEnvironment = "") {
    return runCommand(programLine(folder, arguments, input, extraEnvironment) + " 2>&1",
                      folder.path());
}

// The program's standard output and standard error, each on its own.
struct SeparateStreams {
    int exitStatus = -1;
    std::string results;
    std::string messages;
};

SeparateStreams runApart(const TemporaryDirectory& folder, const std::string& arguments,
                         const std::string& input) {
    SeparateStreams run;
    run.exitStatus = runCommand("{ " + programLine(folder, arguments, input, "") +
                                    " > salida-estandar.txt 2> salida-error.txt; }",
                                folder.path())
                         .exitStatus;
    run.results = readFile(folder / "salida-estandar.txt");
    run.messages = readFile(folder / "salida-error.txt");
    fs::remove(folder / "salida-estandar.txt");
    fs::remove(folder / "salida-error.txt");
    return run;
}

TEST(Program, ScriptedCommandsReadDialogueAnswersFromStandardInput) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    runChecked("zip -q x.zip a.txt", folder.path());
    fs::create_directory(folder / "salida");

    auto result = runProgram(folder, "x.zip --comandos 'ls; extraer; salir; ls'", "salida\n");
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(readFile(folder / "salida/x/a.txt"), "hola\n");
    // "salir" ends the script.
    EXPECT_EQ(result.output.find("Carpeta: /"), result.output.rfind("Carpeta: /")) << result.output;
    // The settings went to the private folder: the archive is now a recent one.
    EXPECT_TRUE(fs::exists(folder / "config/vexa/settings.json"));

    // Commands from standard input when it is not a terminal; a shown error gives status 1.
    result = runProgram(folder, "", "recientes\nabrir a.txt\n");
    EXPECT_EQ(result.exitStatus, 1) << result.output;
    EXPECT_NE(result.output.find("1. x.zip"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("No se pudo completar la operación"), std::string::npos);

    result = runProgram(folder, "--desconocida", "");
    EXPECT_EQ(result.exitStatus, 2);
}

struct ScriptCase {
    const char* arguments;
    const char* input;
    int status;
    const char* shown;    // printed
    const char* notShown; // not printed: the run stopped before
};

template <std::size_t N>
void runScriptCases(const TemporaryDirectory& folder, const ScriptCase (&cases)[N]) {
    for (const auto& c : cases) {
        const auto result = runProgram(folder, c.arguments, c.input);
        EXPECT_EQ(result.exitStatus, c.status) << c.arguments << "\n" << result.output;
        EXPECT_NE(result.output.find(c.shown), std::string::npos) << c.arguments << result.output;
        EXPECT_EQ(result.output.find(c.notShown), std::string::npos)
            << c.arguments << result.output;
    }
}

TEST(Program, AScriptStopsAtTheFirstCommandThatDoesNotEndWell) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    runChecked("zip -q x.zip a.txt && zip -q -P secreto cifrado.zip a.txt && cp x.zip "
               "'mi archivo.zip' && mkdir salida 'salida dos'",
               folder.path());
    const ScriptCase cases[] = {
        {"-c 'abrir noexiste.zip; recientes'", "", 2, "No existe: ", "No hay archivos"},
        {"--comandos='ordenar; recientes'", "", 2, "Orden desconocida", "No hay archivos"},
        {"x.zip -c 'seleccionar 9; ls'", "", 2, "No hay ninguna fila 9", "Carpeta: /"},
        {"x.zip -c 'extraer-seleccion; ls'", "", 2, "No hay nada seleccionado", "Carpeta: /"},
        {"-c 'abrir a.txt; recientes'", "", 1, "No se pudo completar", "No hay archivos"},
        {"-c \"abrir 'x.zip; ls\"", "", 2, "Falta cerrar una comilla", "Abierto"},
        {"-c 'abrir x.zip y.zip'", "", 2, "Uso: abrir [ruta]", "Abierto"},
        // A question left unanswered cancels it, and the script with it.
        {"x.zip -c 'extraer; ls'", "", 3, "Extraer aquí", "Carpeta: /"},
        // Commands on a pipe stop the same way.
        {"x.zip", "ls\nordenar\nrecientes\n", 2, "Carpeta: /", "No hay archivos"},
        // One line answers a password question: Enter continues, an empty line cancels.
        {"cifrado.zip -c extraer", "secreto\nsalida\n", 0, "Extracción completada", "Elige"},
        {"cifrado.zip -c 'extraer; ls'", "\n", 3, "Contraseña del ZIP", "Carpeta: /"},
        // A path with spaces is quoted in a command; an answer is the line as typed.
        {"-c \"abrir 'mi archivo.zip'; extraer\"", "salida dos\n", 0, "Resultado: ", "Uso"},
        {"-c 'salir; ordenar'", "", 0, "", "Orden desconocida"},
    };
    runScriptCases(folder, cases);
    EXPECT_EQ(readFile(folder / "salida/cifrado/a.txt"), "hola\n");
    EXPECT_EQ(readFile(folder / "salida dos/mi archivo/a.txt"), "hola\n");
}

struct StreamCase {
    const char* arguments;
    const char* input;
    int status;
    std::vector<const char*> results;  // on standard output
    std::vector<const char*> messages; // on standard error, and not on standard output
};

TEST(Program, ResultsGoToStandardOutputAndEverythingElseToStandardError) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    runChecked("zip -q x.zip a.txt && mkdir salida", folder.path());
    const StreamCase cases[] = {
        {"-c 'abrir no-existe.zip'", "", 2, {}, {"No existe: "}},
        {"-c 'abrir a.txt'", "", 1, {}, {"No se pudo completar la operación"}},
        {"-c ordenar", "", 2, {}, {"Orden desconocida"}},
        {"x.zip -c 'ls; buscar a; inspector; recientes; actividad; seleccionar 1'",
         "",
         0,
         {"Abierto: x.zip", "Carpeta: /", "1. a.txt", "Resultados de «a»", "tipo: ZIP", "1. x.zip",
          "Sin actividad."},
         {"Abriendo x.zip…", "1 elemento seleccionado"}},
        // The question, the progress line and the status message are the user's; the result's
        // location and the activity log are the script's.
        {"x.zip -c 'extraer; actividad'",
         "salida\n",
         0,
         {"Resultado: ", "  bien   Extrayendo"},
         {"Extraer aquí", "Extrayendo x.zip…"}},
        {"x.zip -c 'eliminar 1'", "", 3, {"Abierto: x.zip"}, {"¿Eliminar 1 elemento(s) del ZIP?"}},
    };
    for (const auto& c : cases) {
        const auto run = runApart(folder, c.arguments, c.input);
        EXPECT_EQ(run.exitStatus, c.status) << c.arguments << "\n" << run.messages;
        for (const char* result : c.results) {
            EXPECT_NE(run.results.find(result), std::string::npos) << c.arguments << run.results;
            EXPECT_EQ(run.messages.find(result), std::string::npos) << c.arguments << run.messages;
        }
        for (const char* message : c.messages) {
            EXPECT_NE(run.messages.find(message), std::string::npos) << c.arguments << run.messages;
            EXPECT_EQ(run.results.find(message), std::string::npos) << c.arguments << run.results;
        }
    }
    // Nothing but results on standard output.
    const auto run = runApart(folder, "x.zip -c ls", "");
    EXPECT_EQ(run.results,
              "Abierto: x.zip (ZIP, 1 elemento)\nCarpeta: /\n    1. a.txt  (5 bytes)\n");
}

TEST(Program, AnswersAreWholeLinesAndYesNoQuestionsDefaultToTheSafeAnswer) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    writeFile(folder / "META-INF/CLAVE.RSA", "x");
    runChecked("zip -q x.zip a.txt && zip -q lib.jar META-INF/CLAVE.RSA a.txt && "
               "cp x.zip 'mi archivo.zip' && mkdir \"it's mine\"",
               folder.path());
    const ScriptCase cases[] = {
        // A new name, an archive to open and a folder: the line as typed, quotes and all.
        {"x.zip -c 'renombrar 1; ls'", "it's mine.txt\n", 0, "1. it's mine.txt", "comilla"},
        {"-c abrir", "mi archivo.zip\n", 0, "Abierto: mi archivo.zip", "No existe"},
        {"x.zip -c extraer", "it's mine\n", 0, "Resultado: ", "Escribe una sola"},
        // The signed-archive warning keeps the archive as it is when Enter alone answers.
        {"lib.jar -c 'eliminar 2; ls'", "\n", 3, "Elige una opción [2]", "Carpeta: /"},
        {"lib.jar -c 'eliminar 2; ls'", "1\n2\n", 0, "JAR actualizado", "a.txt"},
        // Replacing a file: yes in its usual spellings, no by default, anything else asked again.
        {"-c 'anadir-fuente a.txt; crear'", "x.zip\nquizá\nSÍ\n", 0,
         "Responde «s» (sí) o «n» (no).", "No se pudo"},
        {"-c 'anadir-fuente a.txt; crear'", "x.zip\n\n\n", 0, "Resultado: ", "Creando x.zip"},
    };
    runScriptCases(folder, cases);
    EXPECT_EQ(readFile(folder / "it's mine/x/it's mine.txt"), "hola\n");
    // The last creation, told nothing, wrote the proposed name beside the kept x.zip.
    EXPECT_TRUE(fs::exists(folder / "Archivo.zip"));
    EXPECT_EQ(runCommand("unzip -Z1 x.zip", folder.path()).output, "a.txt\n");
}

TEST(Program, TheCreatePageShowsAccentedLabelsAndDropsATypedExtension) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    fs::create_directory(folder / "salida");
    const auto pageAfter = [&](const std::string& commands) {
        const auto run = runApart(folder, "-c 'anadir-fuente a.txt; " + commands + "'", "");
        EXPECT_EQ(run.exitStatus, 0) << commands << run.messages;
        return run.results.substr(run.results.rfind("Crear: "));
    };
    // Options are typed with or without their accents; the page shows them accented.
    EXPECT_EQ(pageAfter("ajustar nombre mi.ZIP; ajustar contrasena no"),
              "Crear: mi.zip\n  formato: ZIP\n  comprimir: sí\n  contraseña: no\n  dividir: 0 "
              "MB\nFuentes:\n  1. " +
                  (folder / "a.txt").string() + "\n");
    const auto tar = pageAfter("ajustar formato tar; ajustar compresión-tar xz; ajustar nombre "
                               "copia.tar.xz; ajustar archivo-unico no");
    EXPECT_EQ(tar.rfind("Crear: copia.tar.xz\n  formato: TAR\n  compresión-tar: XZ\n  nivel: 6\n"
                        "  archivo-único: no\nFuentes:\n",
                        0),
              0u)
        << tar;
    const auto rar = pageAfter("ajustar formato rar; ajustar recuperación sí; ajustar "
                               "autoextraible no; ajustar nombre viejo.rar.rar");
    EXPECT_EQ(rar.rfind("Crear: viejo.rar.rar\n", 0), 0u) << rar; // one extension goes, once
    EXPECT_NE(rar.find("  autoextraíble: no\n  recuperación: sí\n"), std::string::npos) << rar;
    // A name that is only the extension stays as typed.
    EXPECT_EQ(pageAfter("ajustar nombre .zip").rfind("Crear: .zip.zip\n", 0), 0u);

    const auto run =
        runApart(folder, "-c 'anadir-fuente a.txt; ajustar nombre mi.zip; crear'", "salida\n");
    EXPECT_EQ(run.exitStatus, 0) << run.messages;
    EXPECT_TRUE(fs::exists(folder / "salida/mi.zip")) << run.messages;
    EXPECT_FALSE(fs::exists(folder / "salida/mi.zip.zip"));
}

TEST(Program, BidirectionalControlsInNamesAreShownEscaped) {
    TemporaryDirectory folder;
    runChecked("/usr/bin/python3 -c \"import zipfile\n"
               "with zipfile.ZipFile('x.zip', 'w') as z:\n"
               "    z.writestr('factura\\u202egpj.exe', 'x')\n"
               "    z.writestr('a\\u2067b\\u2069.txt', 'x')\"",
               folder.path());
    const auto run = runApart(folder, "x.zip -c ls", "");
    EXPECT_EQ(run.exitStatus, 0) << run.messages;
    EXPECT_NE(run.results.find("factura\\u202Egpj.exe"), std::string::npos) << run.results;
    EXPECT_NE(run.results.find("a\\u2067b\\u2069.txt"), std::string::npos) << run.results;
    EXPECT_EQ(run.results.find("\u202E"), std::string::npos) << run.results;
}

TEST(Program, CdTakesPathsAsSftpDoes) {
    TemporaryDirectory folder;
    writeFile(folder / "docs/sub/b.txt", "b");
    writeFile(folder / "datos/c.txt", "c");
    runChecked("zip -qr x.zip docs datos", folder.path());
    const auto run = runApart(folder,
                              "x.zip -c 'cd docs/sub; cd ../..; cd /datos; cd ..; cd "
                              "docs/./../datos/; cd; cd /; cd ../..; cd nada/sub'",
                              "");
    EXPECT_EQ(run.exitStatus, 2) << run.messages;
    std::string folders;
    std::istringstream lines(run.results);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("Carpeta: "))
            folders += line.substr(9) + " ";
    EXPECT_EQ(folders, "/docs/sub/ / /datos/ / /datos/ / / / ") << run.results;
    EXPECT_NE(run.messages.find("No hay ninguna carpeta «nada/sub»."), std::string::npos)
        << run.messages;
    // A file is no folder.
    EXPECT_EQ(runApart(folder, "x.zip -c 'cd datos/c.txt'", "").exitStatus, 2);
}

// A setting the chosen format would drop is refused before anything is asked, and changing to
// such a format turns off what it cannot honour, saying so in one line.
TEST(Program, CreationRefusesWhatTheFormatCannotHonour) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    const std::string start = "-c 'anadir-fuente a.txt; ajustar formato ";
    const ScriptCase cases[] = {
        {"tar; ajustar contrasena si; crear'", "secreto\nsecreto\n\n", 2,
         "El TAR no admite contraseña (solo ZIP, RAR y 7z).", "Contraseña"},
        {"tar; ajustar ocultar-nombres si; crear'", "\n", 2,
         "El TAR no admite ocultar los nombres (solo RAR y 7z).", "creado"},
        {"zip; ajustar ocultar-nombres si; crear'", "\n", 2,
         "El ZIP no admite ocultar los nombres (solo RAR y 7z).", "creado"},
        {"tar; ajustar dividir 5; crear'", "\n", 2,
         "El TAR no admite dividir en partes (solo ZIP, RAR y 7z).", "creado"},
        {"rar; ajustar nivel 6; fuentes'", "", 2, "Nivel no válido para el RAR: de 0 a 5.",
         "nivel: 6"},
        {"7z; ajustar nivel 10; fuentes'", "", 2, "Nivel no válido para el 7z: de 0 a 9.",
         "nivel: 10"},
        {"tar; ajustar nivel 0; fuentes'", "", 2, "Nivel no válido para el TAR: de 1 a 9.",
         "nivel: 0"},
        // The bounds, and what is turned off, pass.
        {"rar; ajustar nivel 0; ajustar formato 7z; ajustar nivel 9; ajustar formato tar; ajustar "
         "nivel 9; ajustar contrasena no; ajustar dividir 0; ajustar ocultar-nombres no'",
         "", 0, "nivel: 9", "no admite"},
        // Changing the format: a password set for 7z, with hidden names and parts.
        {"7z; ajustar contrasena si; ajustar ocultar-nombres si; ajustar dividir 2; ajustar "
         "formato tar; crear'",
         "secreto\nsecreto\n\n", 0,
         "El TAR no admite contraseña, ocultar los nombres ni dividir en partes: se han quitado "
         "esos ajustes.\n",
         "Guardar partes"},
        {"7z; ajustar contrasena si; ajustar formato zip; fuentes'", "secreto\nsecreto\n", 0,
         "El ZIP no admite ocultar los nombres: se ha quitado ese ajuste.\n", "esos ajustes"},
    };
    for (const auto& c : cases) {
        const std::string arguments = start + c.arguments;
        const auto result = runProgram(folder, arguments, c.input);
        EXPECT_EQ(result.exitStatus, c.status) << arguments << "\n" << result.output;
        EXPECT_NE(result.output.find(c.shown), std::string::npos) << arguments << result.output;
        EXPECT_EQ(result.output.find(c.notShown), std::string::npos) << arguments << result.output;
    }
    // The one creation that ran wrote a TAR without a password, as it said it would.
    EXPECT_EQ(runChecked("tar -xOzf Archivo.tar.gz a.txt", folder.path()), "hola\n");
}

TEST(Program, PreviewsAndResultsGoToThePagerOrTheDesktop) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    writeFile(folder / "imagen.bin", std::string("\x89PNG\0\0", 6));
    runChecked("zip -q x.zip a.txt imagen.bin && mkdir salida bin tmp", folder.path());
    // A desktop whose opener notes what it was given.
    writeFile(folder / "bin/xdg-open",
              "#!/bin/sh\necho \"$1\" >> " + shellQuote((folder / "abiertos.txt").string()) + "\n");
    fs::permissions(folder / "bin/xdg-open", fs::perms::owner_all);
    const std::string desktop = "DISPLAY=:9 TMPDIR=" + shellQuote((folder / "tmp").string()) +
                                " PATH=" + shellQuote((folder / "bin").string()) + ":\"$PATH\"";

    // Text is printed when standard output is not a terminal.
    auto result = runProgram(folder, "x.zip -c 'vista-previa 1'", "", desktop);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_NE(result.output.find("Vista previa: "), std::string::npos);
    EXPECT_NE(result.output.find("\nhola\n"), std::string::npos) << result.output;
    EXPECT_TRUE(fs::is_empty(folder / "tmp")); // closed when the program ended

    // Anything else goes to the desktop and stays for its viewer after a script ends.
    result = runProgram(folder, "x.zip -c 'vista-previa 2; extraer; abrir-resultado'", "salida\n",
                        desktop);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    const auto opened = [&] {
        return fs::exists(folder / "abiertos.txt") ? readFile(folder / "abiertos.txt")
                                                   : std::string();
    };
    // The opener runs on its own; it is given a few seconds at most to note both.
    std::string shown = opened();
    for (int i = 0; i < 500 && std::count(shown.begin(), shown.end(), '\n') < 2; ++i) {
        runCommand("sleep 0.01");
        shown = opened();
    }
    EXPECT_NE(shown.find("/imagen.bin\n"), std::string::npos) << shown;
    // The extraction's result, a folder, opens in the file manager.
    EXPECT_NE(shown.find((folder / "salida/x").string() + "\n"), std::string::npos) << shown;
    EXPECT_FALSE(fs::is_empty(folder / "tmp"));
}

// Archives written by other tools, opened, extracted and edited as a user would: GNU tar's hard
// links and the bytes after its end blocks, folder times, a decomposed name in a 7z only
// libarchive decodes, py7zr's attributes through a delete, and a name that is not UTF-8.
TEST(Program, ArchivesFromOtherToolsReadAsTheToolsReadThem) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "src/d");
    writeFile(folder / "src/a.txt", "hola\n");
    writeFile(folder / "src/d/b.txt", "b");
    writeFile(folder / "src/cafe\xCC\x81.txt", "caf\n");
    runChecked("ln src/a.txt src/d/enlace.txt && touch -d '2001-02-03 04:05:06 UTC' src/d && "
               "tar --format=posix -cf x.tar src/a.txt src/d && head -c 3000 /dev/urandom >> x.tar "
               "&& mkdir ref salida && tar -xf x.tar -C ref",
               folder.path());
    auto result = runProgram(folder, "x.tar -c 'extraer'", "salida\n");
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(readFile(folder / "salida/x/src/d/enlace.txt"), "hola\n");
    EXPECT_EQ(fs::last_write_time(folder / "salida/x/src/d"),
              fs::last_write_time(folder / "ref/src/d"));

    runChecked("bsdtar --format 7zip --options 7zip:compression=ppmd -cf n.7z -C src "
               "'cafe\xCC\x81.txt' a.txt",
               folder.path());
    result = runProgram(folder, "n.7z -c 'extraer'", "salida\n");
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(readFile(folder / "salida/n/cafe\xCC\x81.txt"), "caf\n");

    const std::string attributes = "/usr/bin/python3 -c 'import py7zr\n"
                                   "with py7zr.SevenZipFile(\"p.7z\") as z:\n"
                                   "  print([hex(f._file_info[\"attributes\"]) for f in z.files])'";
    runChecked("/usr/bin/python3 -c 'import py7zr\n"
               "with py7zr.SevenZipFile(\"p.7z\", \"w\") as z: z.writeall(\"src/d\", \"d\")'",
               folder.path());
    result = runProgram(folder, "p.7z -c 'cd d; eliminar 1'", "2\n");
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(runChecked(attributes, folder.path()), "['0x41ed8010', '0x1a48020']\n");

    writeFile(folder / "src/mal\xC0\x80.txt", "x");
    result = runProgram(folder, "-c 'anadir-fuente src; ajustar formato 7z; crear'", "salida\n");
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_NE(result.output.find("no es UTF-8 v\xC3\xA1lido"), std::string::npos) << result.output;
}

// An xz archive of many blocks, as xz -T writes it, some of text and some of random data that
// xz stores as it is, extracts after its opening as GNU tar extracts it.
TEST(Program, AManyBlockXzArchiveExtractsAsGnuTarExtractsIt) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "src/d");
    writeFile(folder / "src/texto.txt", sampleBytes(1'500'000, 31, true));
    writeFile(folder / "src/d/ruido.bin", sampleBytes(700'000, 32, false));
    for (int i = 0; i < 40; ++i)
        writeFile(folder / "src/d" / ("f" + std::to_string(i) + ".txt"),
                  sampleBytes(300 + 97 * i, 40 + i, true));
    runChecked("tar -cf - src | xz -2 -T2 --block-size=256KiB > m.tar.xz && mkdir ref salida && "
               "tar -xJf m.tar.xz -C ref",
               folder.path());
    auto result = runProgram(folder, "m.tar.xz -c 'extraer'", "salida\n");
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(runChecked("diff -r ref salida/m && echo igual", folder.path()), "igual\n");
}

TEST(Program, OptionsFollowTheUsualConventions) {
    TemporaryDirectory folder;
    auto result = runProgram(folder, "--help", "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.output.find("Estado de salida: 0 todo hecho"), std::string::npos);
    EXPECT_NE(result.output.find("  anadir-fuente [ruta…]"), std::string::npos) << result.output;
    EXPECT_EQ(runProgram(folder, "-V", "").output.rfind("vexa ", 0), 0u);
    EXPECT_EQ(runProgram(folder, "-x", "").exitStatus, 2);
    EXPECT_EQ(runProgram(folder, "a.zip b.zip", "").exitStatus, 2);
    // After "--" a name that starts with "-" is the archive.
    result = runProgram(folder, "-- -raro.zip", "");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.output.find("No existe: " + (folder / "-raro.zip").string()),
              std::string::npos)
        << result.output;
    // Accented command words, and help on one command.
    result = runProgram(folder, "-c 'ayuda añadir'", "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output.rfind("  anadir [ruta…]", 0), 0u) << result.output;
    EXPECT_EQ(runProgram(folder, "-c 'ayuda nada'", "").exitStatus, 2);
    // A full standard output is a failure.
    EXPECT_EQ(runProgram(folder, "-c ayuda >/dev/full", "").exitStatus, 1);
}

// Each entry's local header, stored bytes and data descriptor as they lie in a ZIP archive, one
// line per entry.
std::set<std::string> localRecords(const fs::path& archive) {
    const std::string script = R"(
import hashlib, struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as zf, open(sys.argv[1], 'rb') as raw:
    for info in zf.infolist():
        raw.seek(info.header_offset)
        header = raw.read(30)
        header += raw.read(sum(struct.unpack('<HH', header[26:30])))
        data = hashlib.sha256(raw.read(info.compress_size)).hexdigest()
        print(header.hex(), data, raw.read(16).hex() if info.flag_bits & 8 else '')
)";
    const std::string output =
        runChecked("python3 -c " + shellQuote(script) + " " + shellQuote(archive.string()));
    std::set<std::string> records;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        records.insert(line);
    return records;
}

// Info-ZIP's zip writes accented names without the UTF-8 flag; an add, a delete and a rename
// leave every other entry exactly as it lay, and the archive grows only by what was added.
TEST(Program, ZipEditsCopyTheEntriesTheyDoNotTouchAsTheyLay) {
    TemporaryDirectory folder;
    fs::create_directory(folder / "src");
    for (int i = 0; i < 100; ++i)
        writeFile(folder / "src" / ("canci\u00f3n " + std::to_string(i) + " \u00f1and\u00fa.txt"),
                  "letra " + std::to_string(i * i) + "\n");
    writeFile(folder / "nuevo.txt", "nuevo\n");
    runChecked("ls | LC_ALL=C.UTF-8 zip -q -@ ../x.zip", folder / "src");
    const fs::path archive = folder / "x.zip";

    const struct {
        const char* commands;
        const char* answers;
        std::size_t changed; // entries whose record is no longer there
        std::uintmax_t largestGrowth;
    } cases[] = {
        {"anadir nuevo.txt", "", 0, 250},
        {"eliminar 1", "2\n", 1, 0},
        {"renombrar 2 'otra canci\u00f3n.txt'", "", 1, 0},
    };
    for (const auto& c : cases) {
        const auto before = localRecords(archive);
        const auto size = fs::file_size(archive);
        const auto result = runProgram(folder, "x.zip -c " + shellQuote(c.commands), c.answers);
        EXPECT_EQ(result.exitStatus, 0) << c.commands << "\n" << result.output;
        const auto after = localRecords(archive);
        std::size_t gone = 0;
        for (const std::string& record : before)
            gone += after.count(record) == 0 ? 1 : 0;
        EXPECT_EQ(gone, c.changed) << c.commands;
        EXPECT_LE(fs::file_size(archive), size + c.largestGrowth) << c.commands;
        EXPECT_NE(runChecked("unzip -t x.zip", folder.path()).find("No errors detected"),
                  std::string::npos);
    }
}

// Renaming in a 7z or RAR archive whose data is encrypted and whose names are not: the name
// given with the command is the new name, and the one answer is the password.
TEST(Program, ARenameTakesTheGivenNameAndAsksThePasswordOnce) {
    TemporaryDirectory folder;
    writeFile(folder / "a.txt", "hola\n");
    runChecked("/usr/bin/python3 -c \"import py7zr; "
               "z = py7zr.SevenZipFile('datos.7z', 'w', password='secreto'); z.write('a.txt'); "
               "z.close()\" && rar a -idq -psecreto datos.rar a.txt",
               folder.path());
    const struct {
        const char* archive;
        const char* names;
    } cases[] = {
        {"datos.7z", "/usr/bin/python3 -c \"import py7zr; "
                     "print(*py7zr.SevenZipFile('datos.7z').getnames(), sep='\\n')\""},
        {"datos.rar", "rar lb datos.rar"},
    };
    for (const auto& c : cases) {
        const auto result =
            runProgram(folder, std::string(c.archive) + " -c 'renombrar 1 nuevo.txt'", "secreto\n");
        EXPECT_EQ(result.exitStatus, 0) << c.archive << "\n" << result.output;
        EXPECT_NE(result.output.find("Contrase\u00f1a: "), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("Texto"), std::string::npos) << result.output;
        EXPECT_EQ(runChecked(c.names, folder.path()), "nuevo.txt\n") << c.archive;
    }
}

} // namespace
} // namespace vexa::testing
