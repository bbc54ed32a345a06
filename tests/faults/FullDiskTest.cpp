// A full disk while the program writes an archive: the message names the user's file, and
// nothing partial stays.
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// A split RAR saved as one file: the file being saved is named, never an entry of the archive
// that was only written out on the way.
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

// A full disk while a compressed TAR is created, early or late in the compressed stream, gives
// the same message for every compressor and leaves neither the archive nor a work folder.
TEST(FullDisk, CreatingACompressedTarNamesTheArchiveAndLeavesNothing) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "archivo" / "fuentes");
    fs::create_directories(folder / "salida");
    writeFile(folder / "archivo" / "fuentes" / "texto.txt", sampleBytes(400'000, 1, true));
    writeFile(folder / "archivo" / "fuentes" / "datos.bin", sampleBytes(1'200'000, 2, false));
    writeFile(folder / "respuestas", (folder / "salida").string() + "\n");
    for (const char* compression : {"gzip", "bzip2", "xz"}) {
        const std::string name =
            std::string("nuevo.tar.") + (compression == std::string("gzip")    ? "gz"
                                         : compression == std::string("bzip2") ? "bz2"
                                                                               : "xz");
        for (const int nth : {1, 5}) {
            SCOPED_TRACE(name + ", escritura " + std::to_string(nth));
            const ProgramRun run = startProgram(
                folder.path(),
                {"--comandos", std::string("anadir-fuente fuentes; ajustar formato tar; "
                                           "ajustar compresion-tar ") +
                                   compression + "; ajustar nivel 6; ajustar nombre nuevo; crear"},
                "write:" + std::to_string(nth) + ":" + std::to_string(ENOSPC) + ":" +
                    (folder / "salida").string(),
                "tar", folder / "respuestas");
            EXPECT_EQ(waitForExit(run), 1);
            const std::string transcript = readFile(run.transcript);
            EXPECT_NE(transcript.find("No se pudo guardar el archivo «" + name +
                                      "» porque no hay espacio suficiente."),
                      std::string::npos)
                << transcript;
            EXPECT_TRUE(fs::is_empty(folder / "salida")) << transcript;
            EXPECT_TRUE(fs::is_empty(folder / "tmp")) << transcript;
        }
    }
}

} // namespace
} // namespace vexa::testing
