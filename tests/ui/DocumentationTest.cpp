// The README, the manual page and --help tell the same story, and the manual page reads well at
// any width.
#include "tests/support/TestSupport.h"
#include "ui/CommandHelp.h"

#include <gtest/gtest.h>
#include <sstream>

namespace vexa::testing {
namespace {

const std::filesystem::path source = VEXA_SOURCE_DIR;

std::string renderedManual(int columns) {
    return runChecked("groff -k -man -Tutf8 -P-cbou -rLL=" + std::to_string(columns) + "n " +
                      shellQuote((source / "ui/vexa.1").string()));
}

TEST(Documentation, TheManualPageBreaksNoWord) {
    for (int columns = 40; columns <= 100; columns += 3) {
        std::istringstream lines(renderedManual(columns));
        std::string line;
        while (std::getline(lines, line)) {
            // An English hyphenation pattern or a command word cut at its hyphen.
            EXPECT_FALSE(line.ends_with("-") || line.ends_with("\u2010"))
                << columns << " columns: " << line;
        }
    }
}

TEST(Documentation, HelpManualAndReadmeNameTheSameCommandsAndStreams) {
    const std::string manual = renderedManual(200);
    const std::string readme = readFile(source / "README.md");
    const auto help = runCommand(shellQuote(VEXA_PROGRAM) + " --help");
    ASSERT_EQ(help.exitStatus, 0);
    for (const auto& word : commandWords()) {
        EXPECT_NE(manual.find(word), std::string::npos) << word;
        EXPECT_NE(readme.find("`" + word), std::string::npos) << word;
        EXPECT_NE(help.output.find("  " + word), std::string::npos) << word;
    }
    // Where results and questions go, and what answers are.
    for (const char* manualAndHelp :
         {"salida estándar", "salida de errores", "tal como se escribe"}) {
        EXPECT_NE(manual.find(manualAndHelp), std::string::npos) << manualAndHelp;
        EXPECT_NE(help.output.find(manualAndHelp), std::string::npos) << manualAndHelp;
    }
    for (const char* inReadme : {"standard output", "standard error", "whole line as typed"})
        EXPECT_NE(readme.find(inReadme), std::string::npos) << inReadme;
    // The help ends in a whole sentence.
    EXPECT_TRUE(help.output.ends_with(".\n")) << help.output.substr(help.output.size() - 80);
}

} // namespace
} // namespace vexa::testing
