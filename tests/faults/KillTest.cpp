// A program killed (SIGKILL) in the middle of an edit leaves the archive byte-identical, and
// its next run in that folder removes what the killed one left.
#include "platform/FileOperations.h"
#include "tests/faults/ProgramRuns.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> workFoldersIn(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".vexa-") || name.starts_with("vexa-enlaces-") ||
            name.starts_with("Vexa-preview-"))
            found.push_back(name);
    }
    return found;
}

// Runs the program in `folder`, renaming an entry of `archive` (none: it only starts and ends);
// when slowed, the seam makes every write and rename in the folder wait a second.
ProgramRun start(const fs::path& folder, const std::string& archive, bool slowed,
                 const std::string& name) {
    const std::vector<std::string> arguments =
        archive.empty() ? std::vector<std::string>{"--comandos", "salir"}
                        : std::vector<std::string>{archive, "--comandos", "renombrar 1 c.txt"};
    const std::string faults =
        slowed ? "write:0:0:" + (folder / "archivo").string() + ":1000" : std::string();
    return startProgram(folder, arguments, faults, name);
}

TEST(KilledEdit, OriginalStaysAndTheNextRunRemovesTheLeftovers) {
    struct Format {
        const char* name;
        const char* makeWith;
    };
    for (const Format& format :
         {Format{"a.zip", "zip -q a.zip a.txt"}, Format{"a.tar.gz", "bsdtar -czf a.tar.gz a.txt"},
          Format{"a.rar", "rar a -idq a.rar a.txt"},
          Format{"a.7z", "bsdtar --format 7zip -cf a.7z a.txt"}}) {
        if (std::string(format.name) == "a.rar") {
            ASSERT_TRUE(toolInstalled("rar"));
        }
        TemporaryDirectory folder;
        fs::create_directories(folder / "archivo");
        fs::create_directories(folder / "tmp");
        writeFile(folder / "archivo" / "a.txt", sampleBytes(200'000, 5, true));
        runChecked(format.makeWith, folder / "archivo");
        fs::remove(folder / "archivo" / "a.txt");
        const std::string original = readFile(folder / "archivo" / format.name);

        // Killed once its work folder is there: every write and rename then waits a second,
        // so the edit is still running.
        const ProgramRun killed = start(folder.path(), format.name, true, "matado");
        bool working = false;
        for (int i = 0; i < 300 && !working; ++i) {
            working = !workFoldersIn(folder / "archivo").empty();
            if (!working)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(killed.pid, SIGKILL);
        EXPECT_EQ(waitForExit(killed), -SIGKILL) << format.name;
        EXPECT_TRUE(working) << format.name << ": no work folder was seen";
        EXPECT_TRUE(readFile(folder / "archivo" / format.name) == original) << format.name;

        const ProgramRun next = start(folder.path(), format.name, false, "siguiente");
        EXPECT_EQ(waitForExit(next), 0) << format.name << readFile(next.transcript);
        EXPECT_EQ(workFoldersIn(folder / "archivo"), std::vector<std::string>{}) << format.name;
        EXPECT_EQ(workFoldersIn(folder / "tmp"), std::vector<std::string>{}) << format.name;
        EXPECT_FALSE(readFile(folder / "archivo" / format.name) == original)
            << format.name << ": the next run's edit was made";
    }
}

} // namespace
} // namespace vexa::testing

namespace vexa::testing {
namespace {

// What killed runs left in the temporary folder goes when the program starts; a folder another
// run still holds stays.
TEST(KilledEdit, TheTemporaryFolderIsSweptAtStartUp) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "archivo");
    fs::create_directories(folder / "tmp");
    writeFile(folder / "tmp" / "Vexa-preview-OLD" / "foto.jpg", "vista");
    writeFile(folder / "tmp" / "vexa-enlaces-OLD" / "x", "enlace");
    writeFile(folder / "tmp" / "otro.txt", "ajeno");
    files::createDirectory(folder / "tmp" / "Vexa-preview-HELD");

    const ProgramRun run = start(folder.path(), "", false, "barrido");
    EXPECT_EQ(waitForExit(run), 0) << readFile(run.transcript);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder / "tmp"))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"Vexa-preview-HELD", "otro.txt"}));
    files::removeItemIgnoringErrors(folder / "tmp" / "Vexa-preview-HELD");
}

} // namespace
} // namespace vexa::testing
