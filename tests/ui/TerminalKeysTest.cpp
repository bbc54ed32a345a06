// The program at a real (pseudo-)terminal: keys, line editing, hidden passwords, the progress
// bar and signals.
#include "tests/support/TestSupport.h"
#include "tests/ui/PseudoTerminal.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

struct TerminalTest : ::testing::Test {
    TerminalTest() {
        writeFile(folder / "a.txt", "hola\n");
        runChecked("zip -q muestra.zip a.txt", folder.path());
    }
    // The program with private settings, history and desktop folders.
    std::unique_ptr<PseudoTerminal> start(std::vector<std::string> arguments = {}, int columns = 80,
                                          const std::string& term = "xterm") {
        const auto home = folder.path().string();
        return std::make_unique<PseudoTerminal>(
            VEXA_PROGRAM, std::move(arguments), folder.path(),
            std::vector<std::string>{
                "HOME=" + home, "TERM=" + term, "XDG_CONFIG_HOME=" + home + "/config",
                "XDG_DATA_HOME=" + home + "/data", "XDG_STATE_HOME=" + home + "/state",
                "XDG_DATA_DIRS=" + home + "/none", "PAGER=cat"},
            columns);
    }
    TemporaryDirectory folder;
};

constexpr const char* archivePrompt = "vexa (muestra.zip:/)> ";

TEST_F(TerminalTest, WithStandardOutputRedirectedQuestionsAndFailuresStayOnTheTerminal) {
    fs::create_directory(folder / "salida");
    const auto home = folder.path().string();
    // As a user types `vexa muestra.zip > resultados.txt`, or a script runs `-c` likewise.
    PseudoTerminal t("/bin/sh",
                     {"-c", "exec " + shellQuote(VEXA_PROGRAM) + " muestra.zip > resultados.txt"},
                     folder.path(),
                     {"HOME=" + home, "TERM=xterm", "XDG_CONFIG_HOME=" + home + "/config",
                      "XDG_DATA_HOME=" + home + "/data", "XDG_STATE_HOME=" + home + "/state",
                      "XDG_DATA_DIRS=" + home + "/none"});
    // The prompt and line editing stay on the terminal.
    ASSERT_TRUE(t.waitForPrompt(archivePrompt)) << t.output();
    t.send("ls\r");
    ASSERT_TRUE(t.waitForPrompt(archivePrompt)) << t.output();
    t.send("abrir no-existe.zip\r");
    ASSERT_TRUE(t.waitFor("No existe: ")) << t.output();
    ASSERT_TRUE(t.waitForPrompt(archivePrompt)) << t.output();
    t.send("extraer\r");
    ASSERT_TRUE(t.waitForPrompt("Extraer aquí")) << t.output();
    t.send("salida\r");
    ASSERT_TRUE(t.waitForPrompt(archivePrompt)) << t.output();
    t.send("salir\r");
    EXPECT_EQ(t.exitStatus(), 0) << t.output();
    EXPECT_EQ(t.output().find("Carpeta: /"), std::string::npos) << t.output();
    EXPECT_EQ(t.output().find("Resultado: "), std::string::npos) << t.output();
    const auto results = readFile(folder / "resultados.txt");
    EXPECT_EQ(results,
              "Abierto: muestra.zip (ZIP, 1 elemento)\nCarpeta: /\n    1. a.txt  (5 bytes)\n"
              "Resultado: " +
                  (folder / "salida/muestra").string() + "\n");
}

TEST_F(TerminalTest, CtrlCAndCtrlDCancelQuestionsClearTheLineAndEndTheProgram) {
    auto t = start({"muestra.zip"});
    ASSERT_TRUE(t->waitForPrompt(archivePrompt)) << t->output();
    // At a question both keys cancel only the question.
    for (const char* key : {"\x03", "\x04"}) {
        t->send("extraer\r");
        ASSERT_TRUE(t->waitForPrompt("Extraer aquí")) << t->output();
        t->send(key);
        ASSERT_TRUE(t->waitForPrompt(archivePrompt)) << t->output();
    }
    // At the prompt Ctrl-C clears what was typed.
    t->send("abc");
    ASSERT_TRUE(t->waitFor("abc"));
    t->send("\x03");
    ASSERT_TRUE(t->waitForPrompt(archivePrompt));
    t->send("ls\r");
    ASSERT_TRUE(t->waitFor("1. a.txt")) << t->output();
    EXPECT_EQ(t->output().find("Orden desconocida"), std::string::npos) << t->output();
    // Twice in a row at the idle prompt ends the program.
    t->send("\x03");
    ASSERT_TRUE(t->waitFor("otra vez"));
    ASSERT_TRUE(t->waitForPrompt(archivePrompt));
    t->send("\x03");
    EXPECT_EQ(t->exitStatus(), 0) << t->output();
    EXPECT_FALSE(fs::exists(folder / "muestra")); // nothing was extracted
}

TEST_F(TerminalTest, HistoryBetweenRunsArrowKeysAndTabCompletion) {
    writeFile(folder / "con espacio.zip", readFile(folder / "muestra.zip"));
    auto t = start();
    ASSERT_TRUE(t->waitForPrompt("vexa (inicio)> "));
    // A command word, then a path whose blank the completion escapes.
    t->send("ayuda vista");
    t->send("\x01"); // to the start of the line, where the word is still a command word
    t->send("\x1b[C\x1b[C\x1b[C\x1b[C\x1b[C\x1b[C"); // right arrow past "ayuda "
    t->send("\x0b\r");                               // Ctrl-K: the rest goes
    ASSERT_TRUE(t->waitFor("Estado de salida")) << t->output();
    ASSERT_TRUE(t->waitForPrompt("vexa (inicio)> "));
    t->send("abr\t");
    ASSERT_TRUE(t->waitFor("ir")) << t->output();
    t->send(" con\t");
    ASSERT_TRUE(t->waitFor("\\ espacio.zip ")) << t->output();
    t->send("\r");
    ASSERT_TRUE(t->waitFor("Abierto: con espacio.zip")) << t->output();
    ASSERT_TRUE(t->waitForPrompt("(con espacio.zip:/)> "));
    EXPECT_EQ(t->output().find("^[["), std::string::npos);
    t->send("\x04"); // Ctrl-D on the empty prompt ends
    EXPECT_EQ(t->exitStatus(), 0) << t->output();
    EXPECT_TRUE(fs::exists(folder / "state/vexa/historial"));

    // The next run recalls it with the up arrow.
    t = start();
    ASSERT_TRUE(t->waitForPrompt("vexa (inicio)> "));
    t->send("\x1b[A\r");
    ASSERT_TRUE(t->waitFor("Abierto: con espacio.zip")) << t->output();
}

TEST_F(TerminalTest, TabCompletesTheFoldersOfTheOpenArchiveAfterCd) {
    writeFile(folder / "docs/sub/b.txt", "b");
    writeFile(folder / "datos/c.txt", "c");
    runChecked("zip -qr carpetas.zip docs datos && rm -r docs datos", folder.path());
    auto t = start({"carpetas.zip"});
    ASSERT_TRUE(t->waitForPrompt("vexa (carpetas.zip:/)> ")) << t->output();
    t->send("cd d\t");
    ASSERT_TRUE(t->waitFor("datos/  docs/")) << t->output();
    t->send("o\t");
    ASSERT_TRUE(t->waitFor("cs/")) << t->output();
    t->send("\t\r");
    ASSERT_TRUE(t->waitForPrompt("vexa (carpetas.zip:/docs/sub/)> ")) << t->output();
    t->send("cd ../../da\t\r");
    ASSERT_TRUE(t->waitForPrompt("vexa (carpetas.zip:/datos/)> ")) << t->output();
    t->send("salir\r");
    EXPECT_EQ(t->exitStatus(), 0) << t->output();
}

TEST_F(TerminalTest, APasswordIsReadWithoutEcho) {
    runChecked("zip -q -P secreto cifrado.zip a.txt && mkdir salida", folder.path());
    auto t = start({"cifrado.zip"});
    ASSERT_TRUE(t->waitForPrompt("vexa (cifrado.zip:/)> "));
    t->send("extraer\r");
    ASSERT_TRUE(t->waitForSilence("Contraseña: ")) << t->output();
    t->send("secreto\r");
    ASSERT_TRUE(t->waitForPrompt("Extraer aquí")) << t->output();
    t->send("salida\r");
    ASSERT_TRUE(t->waitFor("Extracción completada")) << t->output();
    EXPECT_EQ(t->output().find("secreto"), std::string::npos) << t->output();
    EXPECT_EQ(readFile(folder / "salida/cifrado/a.txt"), "hola\n");
}

// In a 7z or RAR archive whose data is encrypted and whose names are not, a rename asks the
// password once, hidden, and takes the name given with the command.
TEST_F(TerminalTest, ARenameAsksThePasswordHiddenAndKeepsTheGivenName) {
    runChecked("/usr/bin/python3 -c \"import py7zr; "
               "z = py7zr.SevenZipFile('datos.7z', 'w', password='secreto'); z.write('a.txt'); "
               "z.close()\" && "
               "rar a -idq -psecreto datos.rar a.txt",
               folder.path());
    const struct {
        const char* archive;
        const char* names; // lists the names inside, one per line
    } cases[] = {
        {"datos.7z", "/usr/bin/python3 -c \"import py7zr; "
                     "print(*py7zr.SevenZipFile('datos.7z').getnames(), sep='\\n')\""},
        {"datos.rar", "rar lb datos.rar"},
    };
    for (const auto& c : cases) {
        auto t = start({c.archive, "-c", "renombrar 1 nuevo.txt"});
        ASSERT_TRUE(t->waitForSilence("Contraseña: ")) << t->output();
        t->send("secreto\r");
        EXPECT_TRUE(t->waitFor(" actualizado")) << t->output();
        EXPECT_EQ(t->exitStatus(), 0) << t->output();
        EXPECT_EQ(t->output().find("secreto"), std::string::npos) << t->output();
        EXPECT_EQ(t->output().find("Texto"), std::string::npos) << t->output();
        EXPECT_EQ(runChecked(c.names, folder.path()), "nuevo.txt\n") << c.archive;
    }
}

// Each frame of the bar: the text between carriage returns that holds a bar.
std::vector<std::string> frames(const std::string& output) {
    std::vector<std::string> found;
    std::size_t at = 0;
    while ((at = output.find('\r', at)) != std::string::npos) {
        const auto end = output.find_first_of("\r\n", at + 1);
        std::string frame = output.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        if (frame.find(" %") != std::string::npos && frame.find(" [") != std::string::npos)
            found.push_back(frame.substr(0, frame.find("\x1b[K")));
        at = end == std::string::npos ? output.size() : end;
    }
    return found;
}

TEST_F(TerminalTest, TheProgressBarFitsTheTerminalOrIsAPlainLine) {
    writeFile(folder / "grande.bin", sampleBytes(8u << 20, 7, false));
    runChecked("zip -q -0 grande.zip grande.bin && mkdir salida", folder.path());
    for (const char* term : {"xterm", "dumb"}) {
        auto t = start({"grande.zip"}, 40, term);
        ASSERT_TRUE(t->waitForPrompt("(grande.zip:/)> ")) << t->output();
        t->send("extraer\r");
        ASSERT_TRUE(t->waitForPrompt("Extraer aquí"));
        const auto mark = t->output().size();
        t->send("salida\r");
        ASSERT_TRUE(t->waitFor("Extracción completada")) << t->output();
        const auto drawn = frames(t->output().substr(mark));
        if (std::string(term) == "dumb") {
            EXPECT_TRUE(drawn.empty()) << t->output();
            EXPECT_NE(t->output().find("Extrayendo grande.zip…\r\n"), std::string::npos);
            EXPECT_EQ(t->output().find("\x1b[K"), std::string::npos);
        } else {
            ASSERT_FALSE(drawn.empty()) << t->output();
            for (const auto& frame : drawn) {
                const auto characters = std::count_if(frame.begin(), frame.end(), [](char c) {
                    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
                });
                EXPECT_LE(characters, 39) << frame;
            }
        }
        ASSERT_TRUE(t->waitForPrompt("(grande.zip:/)> "));
        t->send("salir\r");
        EXPECT_EQ(t->exitStatus(), 0);
    }
}

TEST_F(TerminalTest, TermAndHangUpEndTheProgramWithTheirStatus) {
    // At the idle prompt.
    auto t = start({"muestra.zip"});
    ASSERT_TRUE(t->waitForPrompt(archivePrompt));
    ::kill(t->pid(), SIGHUP);
    EXPECT_EQ(t->exitStatus(), 128 + SIGHUP);

    // In the middle of an add, at its question about a taken name: the add is given up and the
    // archive stays as it was.
    const std::string before = readFile(folder / "muestra.zip");
    t = start({"muestra.zip"});
    ASSERT_TRUE(t->waitForPrompt(archivePrompt));
    t->send("anadir a.txt\r");
    ASSERT_TRUE(t->waitFor("Ya existe")) << t->output();
    ::kill(t->pid(), SIGTERM);
    EXPECT_EQ(t->exitStatus(), 128 + SIGTERM) << t->output();
    EXPECT_EQ(readFile(folder / "muestra.zip"), before);
    for (const auto& item : fs::directory_iterator(folder.path()))
        EXPECT_EQ(item.path().filename().string().find(".vexa-"), std::string::npos);
}

TEST_F(TerminalTest, AnEditWaitingForAnotherProgramsEditSaysSoAndCtrlCCancelsTheWait) {
    writeFile(folder / "b.txt", "nuevo\n");
    const std::string before = readFile(folder / "muestra.zip");
    // Another program in the middle of its edit of the archive.
    const int other = ::open((folder / "muestra.zip").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    auto t = start({"muestra.zip"});
    ASSERT_TRUE(t->waitForPrompt(archivePrompt)) << t->output();
    t->send("anadir b.txt\r");
    ASSERT_TRUE(t->waitFor("Esperando a que otra edición termine…")) << t->output();
    t->send("\x03");
    ASSERT_TRUE(t->waitFor("Operación cancelada.")) << t->output();
    ASSERT_TRUE(t->waitForPrompt(archivePrompt)) << t->output();
    EXPECT_EQ(readFile(folder / "muestra.zip"), before);
    // Once the other program is done, the same add goes through.
    ::close(other);
    t->send("anadir b.txt\r");
    ASSERT_TRUE(t->waitFor("ZIP actualizado")) << t->output();
    ASSERT_TRUE(t->waitForPrompt(archivePrompt)) << t->output();
    t->send("salir\r");
    EXPECT_EQ(t->exitStatus(), 0) << t->output();
}

} // namespace
} // namespace vexa::testing
