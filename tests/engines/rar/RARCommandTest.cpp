#include "engines/rar/RARCommand.h"

#include "platform/PlatformError.h"
#include "tests/engines/rar/RAREditTestSupport.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace vexa {
namespace {

using testing::readFile;
using testing::TemporaryDirectory;
using testing::writeFile;
using testing::rar::failureOf;

const std::string kPasswordRule =
    "la contraseña debe tener entre 1 y 127 caracteres, sin saltos de línea.";

// Waits for a condition that another process or thread brings about; the limit only keeps a
// broken build from hanging.
template <typename Condition> bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool processIsGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The pid a fake program writes once it runs; 0 when it never did.
pid_t startedPid(const std::filesystem::path& location) {
    const bool written = eventually([&] {
        std::error_code error;
        if (!std::filesystem::exists(location, error))
            return false;
        const std::string text = readFile(location);
        return !text.empty() && text.back() == '\n';
    });
    return written ? std::stoi(readFile(location)) : 0;
}

// A failing check must not leave the runner waiting on its program for good.
struct CancelOnExit {
    Progress& progress;
    ~CancelOnExit() { progress.cancel(); }
};

TEST(ValidateRARPassword, AcceptsOneLineOfOneTo127Scalars) {
    struct Case {
        const char* what;
        std::optional<std::string> password;
        bool accepted;
    };
    std::string accents127;
    for (int i = 0; i < 127; ++i)
        accents127 += "\xC3\xB1"; // ñ: 127 scalars, 254 bytes
    const std::vector<Case> cases = {
        {"none", std::nullopt, true},
        {"plain", std::string("secreto"), true},
        {"127 scalars", std::string(127, 'a'), true},
        {"127 two-byte scalars", accents127, true},
        {"128 scalars", std::string(128, 'a'), false},
        {"128 two-byte scalars", accents127 + "\xC3\xB1", false},
        {"empty", std::string(), false},
        {"line feed", std::string("ab\ncd"), false},
        {"carriage return", std::string("ab\r"), false},
        {"CR LF", std::string("ab\r\ncd"), false},
        {"vertical tab", std::string("\va"), false},
        {"next line U+0085", std::string("a\xC2\x85"), false},
        {"line separator U+2028", std::string("a\xE2\x80\xA8"), false},
        {"paragraph separator U+2029", std::string("a\xE2\x80\xA9"), false},
        {"tab is no line break", std::string("a\tb"), true},
    };
    for (const auto kind : {ArchiveFailure::Case::rarCreation, ArchiveFailure::Case::rarEdit}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            const auto failure = failureOf([&] { validateRARPassword(c.password, kind); });
            if (c.accepted)
                EXPECT_FALSE(failure);
            else
                EXPECT_EQ(failure, ArchiveFailure::make(kind, kPasswordRule));
        }
    }
}

// A stand-in for the rar program: a shell script that records how it was started.
class FakeProgram : public ::testing::Test {
  protected:
    std::filesystem::path program(const std::string& body) {
        const auto location = dir / "rar";
        writeFile(location, "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(location, std::filesystem::perms::owner_all);
        return location;
    }

    // Records its arguments, environment, standard input, working folder and pid into dir.
    std::filesystem::path recordingProgram(const std::string& tail = "exit 0") {
        const std::string out = testing::shellQuote(dir.path().string());
        return program("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + out +
                       "/args\n/usr/bin/tr '\\0' '\\n' < /proc/$$/environ > " + out +
                       "/env\n/bin/cat > " + out + "/stdin\n/bin/pwd > " + out +
                       "/cwd\n/bin/readlink /proc/$$/fd/0 > " + out + "/stdin-target\n" + tail);
    }

    // A program that writes its pid to a file before `rest` runs is cancelled once started: the
    // run ends in CancellationError and the process is reaped, not merely killed, so no zombie
    // is left.
    void expectCancelledAndReaped(const std::string& before, const std::string& rest) {
        const auto started = dir / "started";
        const auto command = RARCommand::forCreation(
            program(before + "echo $$ > " + testing::shellQuote(started.string()) + "\n" + rest));
        auto running = std::async(std::launch::async, [&] { run(command, {"a"}, std::nullopt); });
        CancelOnExit guard{progress};
        const pid_t pid = startedPid(started);
        ASSERT_NE(pid, 0);
        progress.cancel();
        EXPECT_THROW(running.get(), CancellationError);
        EXPECT_TRUE(processIsGone(pid));
    }

    void run(const RARCommand& command, const std::vector<std::string>& arguments,
             const std::optional<std::string>& password, std::int64_t units = 10) {
        command.runRARCommand(arguments, work.path(), password, units, progress);
    }

    TemporaryDirectory dir;
    TemporaryDirectory work;
    Progress progress{1000};
};

TEST_F(FakeProgram, StartsWithTheFixedSwitchesEnvironmentAndNoInput) {
    const auto command = RARCommand::forCreation(recordingProgram());
    run(command, {"a", "-r", "/ruta/con espacios.rar", "*"}, std::nullopt);
    EXPECT_EQ(readFile(dir / "args"), "a\n-cfg-\n-idcd\n-y\n-r\n/ruta/con espacios.rar\n*\n");
    // rar needs a UTF-8 locale for passwords outside ASCII: en_US.UTF-8 where installed.
    std::string locale = "C.UTF-8";
    if (const locale_t probe = ::newlocale(LC_ALL_MASK, "en_US.UTF-8", nullptr)) {
        ::freelocale(probe);
        locale = "en_US.UTF-8";
    }
    EXPECT_EQ(readFile(dir / "env"), "LANG=" + locale + "\nLC_ALL=" + locale + "\n");
    EXPECT_EQ(readFile(dir / "stdin"), "");
    EXPECT_EQ(readFile(dir / "stdin-target"), "/dev/null\n");
    EXPECT_EQ(
        std::filesystem::path(readFile(dir / "cwd").substr(0, readFile(dir / "cwd").size() - 1)),
        std::filesystem::canonical(work.path()));

    run(command, {}, std::nullopt);
    EXPECT_EQ(readFile(dir / "args"), "-cfg-\n-idcd\n-y\n");
}

TEST_F(FakeProgram, PasswordArrivesOnStandardInputOnly) {
    const auto command = RARCommand::forEditing(recordingProgram());
    const std::string password = "contrase\xC3\xB1"
                                 "a -p";
    run(command, {"a", "-hp", "x.rar", "*"}, password);
    EXPECT_EQ(readFile(dir / "stdin"), password + "\n");
    EXPECT_EQ(readFile(dir / "args").find("contrase"), std::string::npos);
    EXPECT_EQ(readFile(dir / "args"), "a\n-cfg-\n-idcd\n-y\n-hp\nx.rar\n*\n");
}

TEST_F(FakeProgram, ProgramThatNeverReadsItsInputDoesNotHangOrKillUs) {
    const auto command = RARCommand::forCreation(program("exec 0<&-\nexit 0"));
    run(command, {"a"}, std::string("secreto"));
    EXPECT_EQ(progress.completedUnitCount(), 10);
}

TEST_F(FakeProgram, ExitStatusesBecomeTheCallersFailures) {
    struct Case {
        const char* what;
        std::string body;
        bool editing;
        std::optional<ArchiveFailure> expected;
    };
    const std::vector<Case> cases = {
        {"success", "exit 0", false, std::nullopt},
        {"wrong password while creating", "exit 11", false, ArchiveFailure::wrongPassword()},
        {"wrong password while editing", "exit 11", true, ArchiveFailure::wrongPassword()},
        {"other status while creating", "exit 3", false,
         ArchiveFailure::rarCreation("el compresor terminó con el código 3.")},
        {"other status while editing", "exit 255", true,
         ArchiveFailure::rarEdit("el compresor terminó con el código 255.")},
        // A crash by signal 11 is no wrong password.
        {"killed by a signal", "kill -SEGV $$", false,
         ArchiveFailure::rarCreation("el compresor terminó con el código 139.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto location = program(c.body);
        const auto command =
            c.editing ? RARCommand::forEditing(location) : RARCommand::forCreation(location);
        EXPECT_EQ(failureOf([&] { run(command, {"a"}, std::nullopt); }), c.expected);
    }
}

TEST_F(FakeProgram, ProgramThatCannotStartIsReported) {
    const std::string prefix = "no se pudo ejecutar el comando RAR desde esta app: ";
    for (const auto& location : {dir / "no-existe", dir.path()}) {
        SCOPED_TRACE(location);
        const auto failure =
            failureOf([&] { run(RARCommand::forEditing(location), {"a"}, std::nullopt); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), ArchiveFailure::Case::rarEdit);
        EXPECT_TRUE(failure->payload().starts_with(prefix)) << failure->payload();
        EXPECT_GT(failure->payload().size(), prefix.size());
    }
}

TEST_F(FakeProgram, PercentagesMoveTheProgressFromItsBase) {
    const auto go = dir / "go";
    const auto command = RARCommand::forCreation(
        program("printf 'Adding  x   \\b\\b\\b\\b 4'\nprintf '5%%'\nwhile [ ! -e " +
                testing::shellQuote(go.string()) + " ]; do /bin/sleep 0.01; done\nexit 0"));
    progress.setCompletedUnitCount(300);
    auto running = std::async(std::launch::async, [&] { run(command, {"a"}, std::nullopt, 200); });
    CancelOnExit guard{progress};
    // 45 % of 200 units.
    EXPECT_TRUE(eventually([&] { return progress.completedUnitCount() == 390; }));
    writeFile(go, "");
    running.get();
    EXPECT_EQ(progress.completedUnitCount(), 500);
}

TEST_F(FakeProgram, CancelledBeforeTheStartRunsNothing) {
    const auto command = RARCommand::forCreation(recordingProgram());
    progress.cancel();
    EXPECT_THROW(run(command, {"a"}, std::nullopt), CancellationError);
    EXPECT_FALSE(std::filesystem::exists(dir / "args"));
}

TEST_F(FakeProgram, CancellationTerminatesAndReapsTheProgram) {
    expectCancelledAndReaped("", "exec /bin/sleep 600");
}

TEST_F(FakeProgram, ProgramIgnoringTerminationIsKilled) {
    expectCancelledAndReaped("trap '' TERM\n", "while :; do /bin/sleep 0.05; done");
}

TEST_F(FakeProgram, ProgramDiesWithTheProcessThatStartedIt) {
    const auto started = dir / "started";
    const auto command = RARCommand::forCreation(
        program("echo $$ > " + testing::shellQuote(started.string()) + "\nexec /bin/sleep 600"));
    const pid_t runner = ::fork();
    if (runner == 0) {
        try {
            run(command, {"a"}, std::nullopt);
        } catch (...) {
        }
        ::_exit(0);
    }
    ASSERT_GT(runner, 0);
    const pid_t pid = startedPid(started);
    ::kill(runner, SIGKILL);
    ::waitpid(runner, nullptr, 0);
    ASSERT_NE(pid, 0);
    // Gone, or a zombie waiting for a reaper this container may not have.
    EXPECT_TRUE(eventually([&] {
        std::error_code error;
        const auto stat = "/proc/" + std::to_string(pid) + "/stat";
        if (!std::filesystem::exists(stat, error))
            return true;
        const std::string text = readFile(stat);
        return text.find(") Z ") != std::string::npos;
    }));
}

TEST_F(FakeProgram, OutputHeldOpenByALeftoverProcessDoesNotBlockTheEnd) {
    const auto leftover = dir / "leftover";
    const auto command = RARCommand::forCreation(program(
        "/bin/sleep 600 &\necho $! > " + testing::shellQuote(leftover.string()) + "\nexit 0"));
    run(command, {"a"}, std::nullopt);
    EXPECT_EQ(progress.completedUnitCount(), 10);
    ::kill(std::stoi(readFile(leftover)), SIGKILL);
}

} // namespace
} // namespace vexa
