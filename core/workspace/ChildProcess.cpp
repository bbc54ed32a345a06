#include "core/workspace/ChildProcess.h"

#include "platform/FileOperations.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vexa {

namespace {

// posix_spawn file actions, released however the spawn ends.
class SpawnActions {
  public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** variable = environ; variable && *variable; ++variable) {
        const std::string entry(*variable);
        const std::string name = entry.substr(0, entry.find('='));
        if (!overrides.contains(name))
            result.push_back(entry);
    }
    for (const auto& [name, value] : overrides)
        result.push_back(name + "=" + value);
    return result;
}

} // namespace

ChildProcessResult runChildProcess(const std::filesystem::path& program,
                                   const std::vector<std::string>& arguments,
                                   const std::map<std::string, std::string>& environment) {
    ChildProcessResult result;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return result;
    files::FileDescriptor readEnd(pipeEnds[0]);
    files::FileDescriptor writeEnd(pipeEnds[1]);

    SpawnActions actions;
    if (!actions.ok() ||
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) ||
        posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO) ||
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0))
        return result;

    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables = mergedEnvironment(environment);
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const bool searchPath = program.string().find('/') == std::string::npos;
    const int status =
        searchPath ? posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), envp.data())
                   : posix_spawn(&pid, argv[0], actions.get(), nullptr, argv.data(), envp.data());
    if (status != 0)
        return result;
    result.started = true;
    // Our copy of the write end must go, or the read below never sees the end of the output.
    writeEnd = files::FileDescriptor();

    char buffer[4096];
    for (;;) {
        const ssize_t count = read(readEnd.get(), buffer, sizeof buffer);
        if (count > 0)
            result.standardOutput.append(buffer, static_cast<std::size_t>(count));
        else if (count == 0 || errno != EINTR)
            break;
    }
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            return result;
    }
    if (WIFEXITED(waitStatus))
        result.exitStatus = WEXITSTATUS(waitStatus);
    return result;
}

} // namespace vexa
