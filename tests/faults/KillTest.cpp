// A program killed (SIGKILL) in the middle of an edit leaves the archive byte-identical, and
// its next run in that folder removes what the killed one left.
#include "platform/FileOperations.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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

// The program's environment: private settings and temporary folder, and, when slowed, the seam
// making every write and rename in the folder wait a second.
std::vector<std::string> environmentFor(const fs::path& folder, bool slowed) {
    std::vector<std::string> variables{
        "PATH=/usr/bin:/bin", "XDG_CONFIG_HOME=" + (folder / "config").string(),
        "XDG_DATA_HOME=" + (folder / "data").string(), "TMPDIR=" + (folder / "tmp").string()};
    if (slowed) {
        variables.push_back(std::string("LD_PRELOAD=") + VEXA_FAULT_PRELOAD);
        variables.push_back("VEXA_FALLOS=write:0:0:" + (folder / "archivo").string() + ":1000");
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer's runtime refuses to start when a preloaded library comes
        // before it; the seam is built against that same runtime, so the order is harmless.
        variables.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    }
    return variables;
}

pid_t start(const fs::path& folder, const std::string& archive, bool slowed) {
    const std::vector<std::string> arguments =
        archive.empty()
            ? std::vector<std::string>{VEXA_PROGRAM, "--comandos", "salir"}
            : std::vector<std::string>{VEXA_PROGRAM, archive, "--comandos", "renombrar 1 c.txt"};
    const auto variables = environmentFor(folder, slowed);
    std::vector<char*> argv, envp;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& variable : variables)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, (folder / "archivo").c_str());
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, VEXA_PROGRAM, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
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
        const pid_t pid = start(folder.path(), format.name, true);
        bool working = false;
        for (int i = 0; i < 300 && !working; ++i) {
            working = !workFoldersIn(folder / "archivo").empty();
            if (!working)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid, SIGKILL);
        EXPECT_EQ(wait(pid), -SIGKILL) << format.name;
        EXPECT_TRUE(working) << format.name << ": no work folder was seen";
        EXPECT_TRUE(readFile(folder / "archivo" / format.name) == original) << format.name;

        const pid_t next = start(folder.path(), format.name, false);
        EXPECT_EQ(wait(next), 0) << format.name;
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

    const pid_t pid = start(folder.path(), "", false);
    EXPECT_EQ(wait(pid), 0);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder / "tmp"))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"Vexa-preview-HELD", "otro.txt"}));
    files::removeItemIgnoringErrors(folder / "tmp" / "Vexa-preview-HELD");
}

} // namespace
} // namespace vexa::testing
