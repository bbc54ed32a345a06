#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// The program with private settings and desktop folders, so the machine's own stay untouched.
CommandResult runProgram(const TemporaryDirectory& folder, const std::string& arguments,
                         const std::string& input) {
    writeFile(folder / "entrada.txt", input);
    const std::string environment = "XDG_CONFIG_HOME=" + shellQuote((folder / "config").string()) +
                                    " XDG_DATA_HOME=" + shellQuote((folder / "data").string()) +
                                    " XDG_DATA_DIRS=" + shellQuote((folder / "none").string());
    return runCommand(environment + " " + shellQuote(VEXA_PROGRAM) + " " + arguments +
                          " < entrada.txt 2>/dev/null",
                      folder.path());
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

} // namespace
} // namespace vexa::testing
