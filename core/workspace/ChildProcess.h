#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vexa {

struct ChildProcessResult {
    bool started = false; // false when the program could not be run at all
    int exitStatus = -1;  // -1 unless the program exited normally
    std::string standardOutput;
};

// Runs a program (looked up in PATH when the name has no "/") with the arguments, without a
// shell, with the process's environment plus `environment`, standard input from /dev/null and
// standard error discarded; waits for it to end. Blocks: call it off the main thread when the
// wait matters.
ChildProcessResult runChildProcess(const std::filesystem::path& program,
                                   const std::vector<std::string>& arguments,
                                   const std::map<std::string, std::string>& environment = {});

} // namespace vexa
