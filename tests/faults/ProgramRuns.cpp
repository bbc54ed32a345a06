#include "tests/faults/ProgramRuns.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vexa::testing {

namespace fs = std::filesystem;

ProgramRun startProgram(const fs::path& folder, const std::vector<std::string>& arguments,
                        const std::string& faults, const std::string& name, const fs::path& input) {
    ProgramRun run;
    run.transcript = folder / ("salida-" + name);
    std::vector<std::string> command{VEXA_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<std::string> variables{
        "PATH=/usr/bin:/bin", "XDG_CONFIG_HOME=" + (folder / "config").string(),
        "XDG_DATA_HOME=" + (folder / "data").string(), "TMPDIR=" + (folder / "tmp").string()};
    if (!faults.empty()) {
        variables.push_back(std::string("LD_PRELOAD=") + VEXA_FAULT_PRELOAD);
        variables.push_back("VEXA_FALLOS=" + faults);
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer's runtime refuses to start when a preloaded library comes
        // before it; the seam is built against that same runtime, so the order is harmless.
        variables.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
#endif
    }
    std::vector<char*> argv, envp;
    for (const auto& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& variable : variables)
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    fs::create_directories(folder / "tmp");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.empty() ? "/dev/null" : input.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, run.transcript.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, (folder / "archivo").c_str());
    EXPECT_EQ(posix_spawn(&run.pid, VEXA_PROGRAM, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

int waitForExit(const ProgramRun& run) {
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool hasWorkFolder(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with(".vexa-"))
            return true;
    return false;
}

} // namespace vexa::testing
