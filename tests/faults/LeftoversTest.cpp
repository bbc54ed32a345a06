// What a killed edit left beside an archive goes when an archive in that folder is opened or
// extracted, not only at the next edit; a work folder another run still holds stays.
#include "platform/FileOperations.h"
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

TEST(KilledEditLeftovers, GoWhenAnArchiveBesideThemIsOpenedOrExtracted) {
    ASSERT_TRUE(toolInstalled("zip"));
    for (const char* command : {"ls", "extraer"}) {
        TemporaryDirectory folder;
        fs::create_directories(folder / "archivo" / "destino");
        writeFile(folder / "archivo" / "a.txt", "a");
        runChecked("zip -q a.zip a.txt", folder / "archivo");
        // The folder of an edit still running, and a killed edit's full-size partial copy.
        const fs::path held = files::itemReplacementDirectory(folder / "archivo" / "a.zip");
        writeFile(folder / "archivo" / ".vexa-replace-OLD" / "archive.zip",
                  sampleBytes(100'000, 3, false));
        writeFile(folder / "respuestas", (folder / "archivo" / "destino").string() + "\n");

        const ProgramRun run = startProgram(folder.path(), {"a.zip", "--comandos", command}, "",
                                            "run", folder / "respuestas");
        EXPECT_EQ(waitForExit(run), 0) << command << readFile(run.transcript);
        EXPECT_FALSE(fs::exists(folder / "archivo" / ".vexa-replace-OLD")) << command;
        EXPECT_TRUE(fs::is_directory(held)) << command;
        files::removeItemIgnoringErrors(held);
    }
}

} // namespace
} // namespace vexa::testing
