#include "platform/ChildProcess.h"

#include "platform/Pipe.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vexa::platform {
namespace {

using vexa::testing::readFile;
using vexa::testing::TemporaryDirectory;
using namespace std::chrono_literals;

ProcessSpec shell(const std::string& script) {
    ProcessSpec spec;
    spec.program = "sh";
    spec.arguments = {"-c", script};
    return spec;
}

bool processExists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

TEST(ChildProcess, ExitCodesSignalsAndOutputAreReportedAsTheProgramEnded) {
    struct Case {
        std::string script;
        int code;
        bool exited;
        std::string output;
    };
    const Case cases[] = {
        {"exit 0", 0, true, ""},
        {"printf 'a b\\n'; exit 3", 3, true, "a b\n"},
        {"kill -TERM $$", 128 + SIGTERM, false, ""},
        {"kill -KILL $$", 128 + SIGKILL, false, ""},
        // Our handlers and blocked signals are not the child's: it dies of SIGINT.
        {"kill -INT $$; exit 4", 128 + SIGINT, false, ""},
    };
    for (const Case& row : cases) {
        ProcessOutput output = runCapturingOutput(shell(row.script));
        EXPECT_TRUE(output.started) << row.script;
        EXPECT_EQ(output.exitStatus, row.exited ? row.code : -1) << row.script;
        EXPECT_EQ(output.standardOutput, row.output) << row.script;
        ChildProcess child(shell(row.script));
        EXPECT_EQ(child.wait(), row.code) << row.script;
        EXPECT_EQ(child.exitedNormally(), row.exited) << row.script;
        EXPECT_EQ(child.wait(), row.code) << "a second wait gives the same";
    }
}

TEST(ChildProcess, AProgramThatCannotStartIsAPlatformErrorNamingIt) {
    TemporaryDirectory folder;
    vexa::testing::writeFile(folder / "not-executable", "#!/bin/sh\n");
    for (const auto& [program, errorNumber] :
         {std::pair{std::string("vexa-no-such-program"), ENOENT},
          std::pair{(folder / "missing").string(), ENOENT},
          std::pair{(folder / "not-executable").string(), EACCES}}) {
        ProcessSpec spec;
        spec.program = program;
        try {
            ChildProcess child(spec);
            ADD_FAILURE() << program << " started";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.errorNumber(), errorNumber) << program;
            EXPECT_EQ(error.path(), program);
        }
        EXPECT_FALSE(runCapturingOutput(spec).started) << program;
    }
    ProcessSpec elsewhere = shell("exit 0");
    elsewhere.workingDirectory = folder / "missing-folder";
    EXPECT_THROW(ChildProcess{elsewhere}, PlatformError);
}

TEST(ChildProcess, DescriptorsEnvironmentFolderAndGroupAreTheOnesGiven) {
    TemporaryDirectory folder;
    Pipe input;
    Pipe events;
    ProcessSpec spec =
        shell("read line; printf '%s|%s|%s|' \"$line\" \"$ONLY\" \"$PWD\" >&3; "
              "read -r a b c d group rest < /proc/$$/stat; printf '%s' \"$group\" >&3; "
              "echo to-null; echo err >&2");
    spec.environment = {"ONLY=set", "PATH=/usr/bin:/bin"};
    spec.workingDirectory = folder.path();
    spec.standardInput = input.read;
    // Numbers that collide with the child's own: each is still put in place.
    spec.descriptors = {{events.write, 3}};
    ChildProcess child(spec);
    input.closeRead();
    events.closeWrite();
    writeIgnoringBrokenPipe(input.write, "hello\n");
    input.closeWrite();
    std::string seen;
    char buffer[256];
    ssize_t count;
    while ((count = ::read(events.read, buffer, sizeof buffer)) > 0)
        seen.append(buffer, static_cast<std::size_t>(count));
    EXPECT_EQ(child.wait(), 0);
    const std::string prefix =
        "hello|set|" + std::filesystem::canonical(folder.path()).string() + "|";
    ASSERT_EQ(seen.substr(0, prefix.size()), prefix);
    // Its own process group, named by its pid.
    EXPECT_EQ(std::stoi(seen.substr(prefix.size())), child.pid());
}

TEST(ChildProcess, TerminationReachesTheWholeGroupAndKillsWhatIgnoresIt) {
    TemporaryDirectory folder;
    const auto pidFile = folder / "grandchild";
    // The program leaves a grandchild that ignores SIGTERM, and ignores it itself.
    ChildProcess child(shell("trap '' TERM; (trap '' TERM; sleep 30) & echo $! > '" +
                             pidFile.string() + "'; wait"));
    while (!std::filesystem::exists(pidFile) || readFile(pidFile).empty())
        std::this_thread::sleep_for(10ms);
    const pid_t grandchild = std::stoi(readFile(pidFile));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(child.terminate(200ms), 128 + SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(child.hasEnded());
    for (int i = 0; i < 100 && processExists(grandchild); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(processExists(grandchild)) << "SIGKILL went to the group";
}

TEST(ChildProcess, AProgramLeftRunningIsTerminatedAndReapedWhenItGoesOutOfScope) {
    pid_t pid = -1;
    {
        ChildProcess child(shell("sleep 30"));
        pid = child.pid();
        EXPECT_FALSE(child.hasEnded());
        child.waitFor(20ms);
        EXPECT_FALSE(child.hasEnded());
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "nothing left to reap";
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, AProgramDiesWithTheThreadThatStartedIt) {
    std::optional<ChildProcess> child;
    std::thread starter([&] { child.emplace(shell("sleep 30")); });
    starter.join();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(child->wait(), 128 + SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(ChildProcess, DetachedProgramsLeaveNoChildBehind) {
    TemporaryDirectory folder;
    const auto mark = folder / "ran";
    ProcessSpec spec = shell("touch '" + mark.string() + "'");
    EXPECT_TRUE(startDetached(spec));
    for (int i = 0; i < 250 && !std::filesystem::exists(mark); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(std::filesystem::exists(mark));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, ManyThreadsStartWaitAndTerminateAtTheSameTime) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 12; ++i) {
                if ((t + i) % 3 == 0) {
                    ChildProcess child(shell("sleep 30"));
                    if (child.terminate(100ms) != 128 + SIGTERM)
                        ++failures;
                } else {
                    const std::string word = std::to_string(t * 100 + i);
                    const ProcessOutput output = runCapturingOutput(
                        shell("printf %s " + word + "; exit " + std::to_string(i % 5)));
                    if (output.standardOutput != word || output.exitStatus != i % 5)
                        ++failures;
                }
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace vexa::platform
