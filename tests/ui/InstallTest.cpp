#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

TEST(Install, TheInstalledProgramFindsItsResourcesAndBecomesTheDefaultOpener) {
    TemporaryDirectory folder;
    const fs::path prefix = folder / "prefijo";
    runChecked("cmake --install " + shellQuote(VEXA_BUILD_DIR) + " --prefix " +
               shellQuote(prefix.string()) + " >/dev/null");
    const fs::path program = prefix / "bin/vexa";
    ASSERT_TRUE(fs::exists(program));
    EXPECT_TRUE(fs::exists(prefix / "share/man/man1/vexa.1"));
    EXPECT_TRUE(fs::is_symlink(prefix / "share/vexa/rar"));
    EXPECT_TRUE(fs::is_symlink(prefix / "share/vexa/default.sfx"));

    // The desktop entry starts the installed program by its full path.
    const fs::path entry = prefix / "share/applications/vexa.desktop";
    EXPECT_NE(readFile(entry).find("\nExec=" + program.string() + " -- %f\n"), std::string::npos)
        << readFile(entry);
    ASSERT_TRUE(toolInstalled("desktop-file-validate"));
    runChecked("desktop-file-validate " + shellQuote(entry.string()));

    // From anywhere, with the desktop looking in the installed prefix first.
    const std::string environment = "XDG_CONFIG_HOME=" + shellQuote((folder / "config").string()) +
                                    " XDG_DATA_HOME=" + shellQuote((folder / "data").string()) +
                                    " XDG_DATA_DIRS=" + shellQuote((prefix / "share").string()) +
                                    ":/usr/share";
    const auto result =
        runCommand(environment + " " + shellQuote(program.string()) + " -c predeterminado 2>&1",
                   folder.path());
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_NE(result.output.find("Vexa abrirá los archivos ZIP, RAR, 7z y TAR"), std::string::npos)
        << result.output;
    EXPECT_NE(readFile(folder / "config/mimeapps.list").find("application/zip=vexa.desktop"),
              std::string::npos);
}

TEST(Install, AnyPrefixBecomesTheDefaultOpenerThroughTheUsersOwnDataFolder) {
    TemporaryDirectory folder;
    const fs::path prefix = folder / "opt/x";
    runChecked("cmake --install " + shellQuote(VEXA_BUILD_DIR) + " --prefix " +
               shellQuote(prefix.string()) + " >/dev/null");
    // The prefix's share folder is not one the desktop reads.
    const std::string environment = "XDG_CONFIG_HOME=" + shellQuote((folder / "config").string()) +
                                    " XDG_DATA_HOME=" + shellQuote((folder / "data").string()) +
                                    " XDG_DATA_DIRS=/usr/share";
    auto result = runCommand(environment + " " + shellQuote((prefix / "bin/vexa").string()) +
                                 " -c predeterminado 2>&1",
                             folder.path());
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_NE(result.output.find("Vexa abrirá los archivos ZIP, RAR, 7z y TAR"), std::string::npos)
        << result.output;
    EXPECT_EQ(readFile(folder / "data/applications/vexa.desktop"),
              readFile(prefix / "share/applications/vexa.desktop"));
    EXPECT_NE(readFile(folder / "config/mimeapps.list").find("application/zip=vexa.desktop"),
              std::string::npos);

    // The program of the build tree has no installed entry: the message says so on its second
    // line, on standard error.
    fs::remove_all(folder / "data");
    result = runCommand("{ " + environment + " " + shellQuote(VEXA_PROGRAM) +
                            " -c predeterminado 2>errores.txt; }",
                        folder.path());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, "");
    const std::string shown = readFile(folder / "errores.txt");
    EXPECT_NE(shown.find("No se pudo completar la operación\nNo se cambió la app predeterminada "
                         "para "),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Establecer como predeterminada.\nNo se encontró la entrada de escritorio "
                         "vexa.desktop"),
              std::string::npos)
        << shown;
}

} // namespace
} // namespace vexa::testing
