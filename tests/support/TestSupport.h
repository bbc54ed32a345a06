#pragma once

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

// Helpers shared by every test program.
namespace vexa::testing {

// A fresh folder under the temporary folder, removed with everything inside at the end.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    // Under `parent` instead, for example on another file system.
    explicit TemporaryDirectory(const std::filesystem::path& parent);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exitStatus = -1;
    std::string output; // standard output and error together
};

// Runs a shell command line (bash -c) in `directory` (current folder when empty).
CommandResult runCommand(const std::string& commandLine,
                         const std::filesystem::path& directory = {});
// Runs it and fails the current test when the exit status is not 0.
std::string runChecked(const std::string& commandLine, const std::filesystem::path& directory = {});
// Single-quotes a word for the shell.
std::string shellQuote(const std::string& word);

void writeFile(const std::filesystem::path& location, const std::string& bytes);
std::string readFile(const std::filesystem::path& location);
// Reproducible bytes; `compressible` gives text-like data, otherwise random-looking data.
std::string sampleBytes(std::size_t size, std::uint32_t seed, bool compressible);

// Success when `name` is on the PATH; otherwise a failure that names the program, which
// scripts/setup installs. Tests assert it rather than passing without their tool.
::testing::AssertionResult toolInstalled(const std::string& name);
bool commandExists(const std::string& name);

} // namespace vexa::testing
