#include "ui/TerminalDialogs.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sstream>

namespace vexa {
namespace {

using testing::TemporaryDirectory;
using testing::writeFile;

struct Answers {
    explicit Answers(const std::string& lines) : input(lines) {}
    std::istringstream input;
    std::ostringstream output;
    TerminalDialogs dialogs{input, output, false};
};

AlertRequest alertWith(std::vector<std::string> buttons, bool textField = false) {
    AlertRequest request;
    request.messageText = "Contraseña del RAR";
    request.informativeText = "El archivo está cifrado.";
    request.buttons = std::move(buttons);
    request.hasTextField = textField;
    request.secureTextField = textField;
    return request;
}

TEST(TerminalAlerts, ButtonsAnswerByPosition) {
    struct Case {
        const char* lines;
        int button;
    } const cases[] = {
        {"2\n", 1001},
        {"\n", 1000},        // the first button is the default
        {"7\nx\n3\n", 1002}, // wrong answers are asked again
        {"", 1002},          // the end of input cancels with the last button
    };
    for (const auto& c : cases) {
        Answers answers(c.lines);
        EXPECT_EQ(answers.dialogs.runAlert(alertWith({"Uno", "Dos", "Tres"})).button, c.button)
            << c.lines;
        EXPECT_NE(answers.output.str().find("El archivo está cifrado."), std::string::npos);
        EXPECT_NE(answers.output.str().find("3. Tres"), std::string::npos);
    }
}

TEST(TerminalAlerts, EnterAloneInAWarningKeepsThingsAsTheyAre) {
    struct Case {
        std::vector<std::string> buttons;
        const char* lines;
        int button;
        const char* prompt;
    } const cases[] = {
        {{"Modificar de todos modos", "Cancelar"}, "\n", 1001, "[2]"},
        {{"Modificar de todos modos", "Cancelar"}, " 1 \n", 1000, "[2]"},
        {{"Cancelar", "Eliminar"}, "\n", 1000, "[1]"},
        {{"Cancelar y salir", "Continuar"}, "\n", 1001, "[2]"},
    };
    for (const auto& c : cases) {
        Answers answers(c.lines);
        auto request = alertWith(c.buttons);
        request.warningStyle = true;
        EXPECT_EQ(answers.dialogs.runAlert(request).button, c.button) << c.buttons.front();
        EXPECT_NE(answers.output.str().find(c.prompt), std::string::npos) << answers.output.str();
    }
}

TEST(TerminalAlerts, ATextIsTheWholeLineAsTyped) {
    for (const char* typed : {"it's mine.txt", "  dos  espacios ", "\"entre comillas\"", "a\\b"}) {
        Answers answers(std::string(typed) + "\n");
        auto request = alertWith({"Renombrar", "Cancelar"}, true);
        request.secureTextField = false;
        const auto response = answers.dialogs.runAlert(request);
        EXPECT_EQ(response.button, 1000) << typed;
        EXPECT_EQ(response.text, typed);
    }
}

TEST(TerminalAlerts, TextFieldIsReadBeforeTheButton) {
    Answers answers("clave con espacios\n1\n");
    const auto response = answers.dialogs.runAlert(alertWith({"Continuar", "Cancelar"}, true));
    EXPECT_EQ(response.button, 1000);
    EXPECT_EQ(response.text, "clave con espacios");
    // Never echoed, not even from a script.
    EXPECT_EQ(answers.output.str().find("clave con espacios"), std::string::npos);

    Answers ended("");
    EXPECT_EQ(ended.dialogs.runAlert(alertWith({"Continuar", "Cancelar"}, true)).button, 1001);
    // The end of input never confirms a destructive last button.
    Answers endedDelete("");
    EXPECT_EQ(endedDelete.dialogs.runAlert(alertWith({"Cancelar", "Eliminar"})).button, 1000);

    // A single-button alert asks for no button at all.
    Answers single("texto\n");
    const auto alone = single.dialogs.runAlert(alertWith({"Aceptar"}, true));
    EXPECT_EQ(alone.button, 1000);
    EXPECT_EQ(alone.text, "texto");
}

TEST(TerminalOpenPanel, AsksAgainUntilTheLocationHasTheRightKind) {
    TemporaryDirectory folder;
    writeFile(folder / "a.zip", "x");
    writeFile(folder / "notas.txt", "x");
    OpenPanelRequest request;
    request.canChooseFiles = false;
    request.canChooseDirectories = true;
    Answers answers((folder / "nada").string() + "\n" + (folder / "a.zip").string() + "\n" +
                    folder.path().string() + "/\n");
    EXPECT_EQ(answers.dialogs.runOpenPanel(request),
              std::vector<std::filesystem::path>{folder.path()});
    EXPECT_NE(answers.output.str().find("No existe"), std::string::npos);
    EXPECT_NE(answers.output.str().find("No es una carpeta"), std::string::npos);

    OpenPanelRequest archives;
    archives.allowedContentTypes = {"zip", "rar"};
    Answers typed(folder.path().string() + "\n" + (folder / "notas.txt").string() + "\n" +
                  (folder / "A.ZIP").string() + "\n" + (folder / "a.zip").string() + "\n");
    // Content types compare without regard to case, but the file must exist as typed.
    EXPECT_EQ(typed.dialogs.runOpenPanel(archives),
              std::vector<std::filesystem::path>{folder / "a.zip"});
}

TEST(TerminalOpenPanel, EmptyAnswerOrEndOfInputCancels) {
    TemporaryDirectory folder;
    writeFile(folder / "a.zip", "x");
    OpenPanelRequest request;
    for (const char* lines : {"\n", ""}) {
        Answers answers(lines);
        EXPECT_TRUE(answers.dialogs.runOpenPanel(request).empty());
    }
    // With multiple selection an empty line ends the list; the end of input drops it.
    request.allowsMultipleSelection = true;
    request.canChooseDirectories = true;
    const std::string list = (folder / "a.zip").string() + "\n" + folder.path().string() + "\n";
    Answers several(list + "\n");
    EXPECT_EQ(several.dialogs.runOpenPanel(request),
              (std::vector<std::filesystem::path>{folder / "a.zip", folder.path()}));
    Answers unfinished(list);
    EXPECT_TRUE(unfinished.dialogs.runOpenPanel(request).empty());
}

TEST(TerminalSavePanel, ProposedNameFolderAnswersAndReplacement) {
    TemporaryDirectory folder;
    std::filesystem::create_directory(folder / "sub");
    writeFile(folder / "existe.zip", "x");
    SavePanelRequest request;
    request.nameFieldStringValue = "Archivo.zip";
    request.directory = folder.path();
    request.allowedContentTypes = {"zip"};

    Answers empty("\n");
    EXPECT_EQ(empty.dialogs.runSavePanel(request), folder / "Archivo.zip");
    Answers intoFolder((folder / "sub").string() + "\n");
    EXPECT_EQ(intoFolder.dialogs.runSavePanel(request), folder / "sub/Archivo.zip");
    Answers withoutExtension((folder / "copia").string() + "\n");
    EXPECT_EQ(withoutExtension.dialogs.runSavePanel(request), folder / "copia.zip");
    // An existing file is replaced only when the user says so; "n" asks for another name.
    const std::string existing = (folder / "existe.zip").string() + "\n";
    Answers declined(existing + "n\n" + (folder / "otro.zip").string() + "\n");
    EXPECT_EQ(declined.dialogs.runSavePanel(request), folder / "otro.zip");
    Answers accepted(existing + "s\n");
    EXPECT_EQ(accepted.dialogs.runSavePanel(request), folder / "existe.zip");
    Answers ended("");
    EXPECT_EQ(ended.dialogs.runSavePanel(request), std::nullopt);
}

TEST(TerminalSavePanel, YesAndNoInTheirUsualSpellings) {
    TemporaryDirectory folder;
    writeFile(folder / "existe.zip", "x");
    writeFile(folder / "con espacio 'y comilla'.zip", "x");
    SavePanelRequest request;
    request.nameFieldStringValue = "Archivo.zip";
    request.directory = folder.path();
    request.allowedContentTypes = {"zip"};
    const std::string existing = (folder / "existe.zip").string() + "\n";
    const std::string other = (folder / "otro.zip").string() + "\n";
    struct Case {
        std::string answers;
        std::filesystem::path chosen;
        bool askedAgain;
    } const cases[] = {
        {"s\n", folder / "existe.zip", false},
        {"Si\n", folder / "existe.zip", false},
        {"SÍ\n", folder / "existe.zip", false},
        {"y\n", folder / "existe.zip", false},
        {"Y\n", folder / "existe.zip", false},
        {"n\n" + other, folder / "otro.zip", false},
        {"NO\n" + other, folder / "otro.zip", false},
        {"\n" + other, folder / "otro.zip", false},
        {"yes\nsí\n", folder / "existe.zip", true},
        {"quizá\nno\n" + other, folder / "otro.zip", true},
    };
    for (const auto& c : cases) {
        Answers answers(existing + c.answers);
        EXPECT_EQ(answers.dialogs.runSavePanel(request), c.chosen) << c.answers;
        EXPECT_EQ(answers.output.str().find("Responde «s» (sí) o «n» (no).") != std::string::npos,
                  c.askedAgain)
            << c.answers;
    }
    // A location is the whole line, spaces and quotes included.
    Answers spaced((folder / "con espacio 'y comilla'.zip").string() + "\ns\n");
    EXPECT_EQ(spaced.dialogs.runSavePanel(request), folder / "con espacio 'y comilla'.zip");
}

} // namespace
} // namespace vexa
