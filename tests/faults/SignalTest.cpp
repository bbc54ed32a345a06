// A signal's exit status promises that nothing changed: one that comes before the result is in
// place cancels and cleans up; one that comes after it leaves the run its own success.
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Operation {
    const char* name;
    const char* archive;
    const char* makeWith;
    const char* command;
    const char* result; // what the operation puts in place, in the folder "archivo"
    const char* answer; // to its question, in the folder "archivo"
};

// An add to a ZIP and to a TAR.zst, the extraction of a TAR.zst into "destino", and a split
// ZIP and a split 7z saved as one file there.
const Operation operations[] = {
    {"ZIP add", "a.zip", "zip -q a.zip base.bin", "anadir ../x.bin", "a.zip", ""},
    {"TAR.zst add", "a.tar.zst", "bsdtar --zstd -cf a.tar.zst base.bin", "anadir ../x.bin",
     "a.tar.zst", ""},
    {"TAR.zst extraction", "a.tar.zst", "bsdtar --zstd -cf a.tar.zst base.bin", "extraer",
     "destino/a", "destino"},
    {"ZIP save-as-single", "a.zip", "zip -q -s 100k a.zip base.bin", "guardar-unico",
     "destino/uno.zip", "destino/uno.zip"},
    {"7z save-as-single", "a.7z.001",
     "bsdtar --format 7zip -cf a.7z base.bin && split -b 150k -d -a 3 --numeric-suffixes=1 a.7z "
     "a.7z. && rm a.7z",
     "guardar-unico", "destino/uno.7z", "destino/uno.7z"},
};

void prepare(const TemporaryDirectory& folder, const Operation& operation) {
    fs::create_directories(folder / "archivo" / "destino");
    writeFile(folder / "archivo" / "base.bin", sampleBytes(400'000, 1, false));
    writeFile(folder / "x.bin", sampleBytes(100'000, 2, false));
    writeFile(folder / "respuestas", (folder / "archivo" / operation.answer).string() + "\n");
    runChecked(operation.makeWith, folder / "archivo");
}

// Where the operation works before its result is in place.
fs::path workPlace(const TemporaryDirectory& folder, const Operation& operation) {
    return fs::path(operation.result).parent_path().empty() ? folder / "archivo"
                                                            : folder / "archivo" / "destino";
}

bool waitForWorkFolder(const fs::path& place) {
    for (int i = 0; i < 500; ++i) {
        if (hasWorkFolder(place))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

TEST(Signals, ASignalBeforeTheResultIsInPlaceEndsWithItsStatusAndChangesNothing) {
    ASSERT_TRUE(toolInstalled("zip"));
    ASSERT_TRUE(toolInstalled("bsdtar"));
    for (const Operation& operation : operations)
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            const std::string label =
                std::string(operation.name) + ", signal " + std::to_string(signal);
            TemporaryDirectory folder;
            prepare(folder, operation);
            const std::string before = readFile(folder / "archivo" / operation.archive);
            // Every write, rename and new folder where it works waits, so the signal comes
            // while it is still working.
            const ProgramRun run =
                startProgram(folder.path(), {operation.archive, "--comandos", operation.command},
                             "write:0:0:" + workPlace(folder, operation).string() + ":400", "run",
                             folder / "respuestas");
            const bool working = waitForWorkFolder(workPlace(folder, operation));
            ::kill(run.pid, signal);
            EXPECT_TRUE(working) << label;
            EXPECT_EQ(waitForExit(run), 128 + signal) << label << readFile(run.transcript);
            EXPECT_TRUE(readFile(folder / "archivo" / operation.archive) == before) << label;
            EXPECT_TRUE(fs::is_empty(folder / "archivo" / "destino")) << label;
            EXPECT_FALSE(hasWorkFolder(workPlace(folder, operation))) << label;
        }
}

TEST(Signals, ASignalAfterTheResultIsInPlaceLeavesTheOperationItsSuccess) {
    ASSERT_TRUE(toolInstalled("zip"));
    ASSERT_TRUE(toolInstalled("bsdtar"));
    for (const Operation& operation : operations) {
        TemporaryDirectory folder;
        prepare(folder, operation);
        const std::string before = readFile(folder / "archivo" / operation.archive);
        // Only the rename onto the result waits: the signal comes once the work was checked
        // and the rename is under way, which a cancellation can no longer stop.
        const fs::path result = folder / "archivo" / operation.result;
        const ProgramRun run =
            startProgram(folder.path(), {operation.archive, "--comandos", operation.command},
                         "rename:0:0:" + result.string() + ":3000", "run", folder / "respuestas");
        const bool working = waitForWorkFolder(workPlace(folder, operation));
        std::this_thread::sleep_for(1500ms);
        ::kill(run.pid, SIGTERM);
        EXPECT_TRUE(working) << operation.name;
        EXPECT_EQ(waitForExit(run), 0) << operation.name << readFile(run.transcript);
        if (std::string(operation.command) == "extraer")
            EXPECT_EQ(readFile(result / "base.bin"), sampleBytes(400'000, 1, false));
        else if (std::string(operation.command) == "guardar-unico")
            EXPECT_TRUE(fs::is_regular_file(result)) << operation.name;
        else
            EXPECT_FALSE(readFile(result) == before) << operation.name;
    }
}

} // namespace
} // namespace vexa::testing
