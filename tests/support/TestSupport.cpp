#include "tests/support/TestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace vexa::testing {

namespace fs = std::filesystem;

namespace {

fs::path temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? fs::path(tmp) : fs::path("/tmp");
}

} // namespace

TemporaryDirectory::TemporaryDirectory() : TemporaryDirectory(temporaryFolder()) {}

TemporaryDirectory::TemporaryDirectory(const fs::path& parent) {
    std::string pattern = (parent / "vexa-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed in " + parent.string());
    path_ = fs::path(pattern);
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Folders left without write permission by a test would stop the removal.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

CommandResult runCommand(const std::string& commandLine, const fs::path& directory) {
    std::string line = commandLine + " 2>&1";
    if (!directory.empty())
        line = "cd " + shellQuote(directory.string()) + " && " + line;
    std::string full = "bash -c " + shellQuote(line);
    CommandResult result;
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string runChecked(const std::string& commandLine, const fs::path& directory) {
    CommandResult result = runCommand(commandLine, directory);
    EXPECT_EQ(result.exitStatus, 0) << commandLine << "\n" << result.output;
    return result.output;
}

void writeFile(const fs::path& location, const std::string& bytes) {
    if (location.has_parent_path())
        fs::create_directories(location.parent_path());
    std::ofstream out(location, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + location.string());
}

std::string readFile(const fs::path& location) {
    std::ifstream in(location, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + location.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string sampleBytes(std::size_t size, std::uint32_t seed, bool compressible) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    if (compressible) {
        static const char* words[] = {"archivo ", "carpeta ", "datos ", "Vexa ", "zip\n", "rar "};
        std::size_t i = 0;
        while (i < size) {
            const char* word = words[generator() % 6];
            for (const char* p = word; *p && i < size; ++p)
                bytes[i++] = *p;
        }
    } else {
        for (auto& byte : bytes)
            byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

bool commandExists(const std::string& name) {
    return runCommand("command -v " + shellQuote(name)).exitStatus == 0;
}

::testing::AssertionResult toolInstalled(const std::string& name) {
    if (commandExists(name))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the program " << name << " is not installed (scripts/setup installs it)";
}

} // namespace vexa::testing
