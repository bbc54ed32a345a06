#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// The one way this program starts another: without a shell, with the descriptors it is given,
// and with nothing of ours (signal handlers, masks, descriptors not handed over) in the child.
namespace vexa::platform {

struct ProcessSpec {
    // Where a standard descriptor of the child leads, when not to one of ours.
    static constexpr int nullDevice = -1;
    static constexpr int inherited = -2;

    std::filesystem::path program;      // looked up in PATH when the name has no "/"
    std::vector<std::string> arguments; // after the program's own name
    // The whole environment, "NAME=value" each; none: this process's.
    std::optional<std::vector<std::string>> environment;
    std::filesystem::path workingDirectory; // empty: this process's
    int standardInput = nullDevice;
    int standardOutput = nullDevice;
    int standardError = nullDevice;
    // More of our descriptors, each given to the child under the number paired with it.
    std::vector<std::pair<int, int>> descriptors;
    // A process group of its own: a terminal's Ctrl-C is ours to turn into a cancellation, and a
    // termination reaches everything the program started.
    bool ownProcessGroup = true;
    // SIGKILL when the thread that started it ends, the process included, even when killed
    // outright.
    bool diesWithParent = true;
};

// The executable file `name` in the first folder of $PATH that has one; empty when none has.
std::filesystem::path findProgram(const std::string& name);

// This process's environment with `overrides` put in (replacing variables of the same name).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides);

// A started program. Goes out of scope only once reaped: terminated first if it still runs.
// It is looked at without being reaped until wait(), so that its pid, which names its process
// group, cannot be handed to another process while that group may still be signalled.
class ChildProcess {
  public:
    // Throws PlatformError naming the program when it cannot be started (the errno of the
    // failed step: a missing program is ENOENT).
    explicit ChildProcess(const ProcessSpec& spec);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool hasEnded() const;
    // Sleeps for the interval, or less when the program ends meanwhile.
    void waitFor(std::chrono::milliseconds interval) const;
    // Waits for the end and gives the exit code: the exit status, 128 + the signal number for a
    // program killed by a signal, -1 when the status was lost (someone else reaped it).
    int wait();
    // SIGTERM (to its group when it has one), SIGKILL after `grace`; then reaped.
    int terminate(std::chrono::milliseconds grace = std::chrono::seconds(3));
    // SIGKILL at once; then reaped.
    int kill();
    // After wait(): whether the program exited rather than being killed by a signal.
    bool exitedNormally() const;

  private:
    void signal(int number) const;

    pid_t pid_ = -1;
    bool group_ = false;
    int exitSignal_ = -1;       // readable once the program has ended; -1 where the system has none
    std::optional<int> status_; // the wait status; none when lost
    bool reaped_ = false;
};

// The wait status of `pid` once it has ended (none when someone else reaped it); the one wait
// that goes on through interruptions by signals.
std::optional<int> waitForStatus(pid_t pid);

struct ProcessOutput {
    bool started = false; // false when the program could not be run at all
    int exitStatus = -1;  // -1 unless the program exited normally
    std::string standardOutput;
};

// Runs the program to its end, its standard output gathered (the spec's own is ignored).
ProcessOutput runCapturingOutput(ProcessSpec spec);

// Starts a program that is not our child: it runs in a session of its own and outlives us, and
// nothing is left to reap. False when the start failed before the program's own exec.
bool startDetached(const ProcessSpec& spec);

} // namespace vexa::platform
