// A full disk while a split RAR is saved as one file names the file being saved, never an
// entry of the archive that was only written out on the way.
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

TEST(FullDisk, SavingARarSetAsOneFileNamesTheFileBeingSaved) {
    ASSERT_TRUE(toolInstalled("rar"));
    TemporaryDirectory folder;
    fs::create_directories(folder / "archivo" / "fuentes");
    fs::create_directories(folder / "salida");
    for (int i = 1; i <= 8; ++i)
        writeFile(folder / "archivo" / "fuentes" / ("f0" + std::to_string(i) + ".bin"),
                  sampleBytes(60'000, i, false));
    runChecked("rar a -idq -v100k ../partes.rar f0*.bin", folder / "archivo" / "fuentes");
    writeFile(folder / "respuestas", (folder / "salida" / "uno.rar").string() + "\n");

    for (const int nth : {1, 6}) {
        const ProgramRun run =
            startProgram(folder.path(), {"partes.part1.rar", "--comandos", "guardar-unico"},
                         "write:" + std::to_string(nth) + ":" + std::to_string(ENOSPC) + ":" +
                             (folder / "salida").string(),
                         "run", folder / "respuestas");
        EXPECT_EQ(waitForExit(run), 1);
        const std::string transcript = readFile(run.transcript);
        EXPECT_NE(transcript.find("No se pudo guardar el archivo «uno.rar» porque no hay espacio "
                                  "suficiente."),
                  std::string::npos)
            << transcript;
        EXPECT_TRUE(fs::is_empty(folder / "salida")) << transcript;
    }
}

} // namespace
} // namespace vexa::testing
