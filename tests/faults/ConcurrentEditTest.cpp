// Two programs adding to one archive at once: the second waits for the first, saying so, and
// then refuses the changed archive; an add that reports success is always in the archive.
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// Every rename in the folder waits, so that both programs reach their last comparison before
// either has replaced the archive, as two slow disks would have it.
ProgramRun startAdd(const fs::path& folder, const std::string& archive, const std::string& file) {
    return startProgram(folder, {archive, "--comandos", "anadir " + (folder / file).string()},
                        "rename:0:0:" + (folder / "archivo").string() + ":300", file);
}

TEST(ConcurrentEdits, TwoProgramsAddingAtOnceNeverLoseAReportedAdd) {
    struct Format {
        const char* name;
        const char* tool;
        const char* makeWith;
    };
    for (const Format& format :
         {Format{"a.zip", "zip", "zip -q a.zip base.txt"},
          Format{"a.tar.zst", "bsdtar", "bsdtar --zstd -cf a.tar.zst base.txt"},
          Format{"a.rar", "rar", "rar a -idq a.rar base.txt"},
          Format{"a.7z", "bsdtar", "bsdtar --format 7zip -cf a.7z base.txt"}}) {
        ASSERT_TRUE(toolInstalled(format.tool));
        TemporaryDirectory folder;
        fs::create_directories(folder / "archivo");
        fs::create_directories(folder / "tmp");
        writeFile(folder / "archivo" / "base.txt", "base");
        runChecked(format.makeWith, folder / "archivo");
        int lost = 0;
        int refusedAfterWaiting = 0;
        for (int round = 0; round < 3; ++round) {
            const std::string first = "x" + std::to_string(round) + ".bin";
            const std::string second = "y" + std::to_string(round) + ".bin";
            writeFile(folder / first, sampleBytes(50'000, round, false));
            writeFile(folder / second, sampleBytes(50'000, round + 100, false));
            const ProgramRun runs[] = {startAdd(folder.path(), format.name, first),
                                       startAdd(folder.path(), format.name, second)};
            const int statuses[] = {waitForExit(runs[0]), waitForExit(runs[1])};
            const std::string listing =
                runChecked("bsdtar -tf " + shellQuote(format.name), folder / "archivo");
            int successes = 0;
            for (int i = 0; i < 2; ++i) {
                const std::string& added = i == 0 ? first : second;
                const std::string transcript = readFile(runs[i].transcript);
                if (statuses[i] == 0) {
                    ++successes;
                    if (listing.find(added + "\n") == std::string::npos)
                        ++lost;
                } else {
                    EXPECT_EQ(statuses[i], 1) << format.name << ": " << transcript;
                    EXPECT_NE(transcript.find("El archivo cambió en otra aplicación."),
                              std::string::npos)
                        << format.name << ": " << transcript;
                    if (transcript.find("Esperando a que otra edición termine…") !=
                        std::string::npos)
                        ++refusedAfterWaiting;
                }
            }
            EXPECT_GE(successes, 1) << format.name;
        }
        EXPECT_EQ(lost, 0) << format.name;
        EXPECT_GE(refusedAfterWaiting, 1) << format.name << ": the second edit never waited";
    }
}

} // namespace
} // namespace vexa::testing
