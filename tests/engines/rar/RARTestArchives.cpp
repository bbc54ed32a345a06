#include "tests/engines/rar/RARTestArchives.h"

#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>

namespace vexa::testing::rar {

namespace fs = std::filesystem;

void makeArchive(const fs::path& archive, const fs::path& sources, const std::string& switches,
                 const std::string& names, const std::optional<std::string>& password) {
    std::string command = "LANG=C.UTF-8 LC_ALL=C.UTF-8 rar a -idq " + switches + " " +
                          shellQuote(archive.string()) + " " + names;
    if (password)
        command = "printf '%s\\n' " + shellQuote(*password) + " | " + command;
    CommandResult result = runCommand(command, sources);
    if (result.exitStatus != 0)
        throw std::runtime_error(command + ": " + result.output);
}

void makeSampleTree(const fs::path& folder, std::size_t bigSize) {
    writeFile(folder / "docs/a.txt", "hello from a\n");
    writeFile(folder / "docs/sub/b.txt", "hello from b\n");
    writeFile(folder / "empty.txt", "");
    writeFile(folder / "big.bin", sampleBytes(bigSize, 7, false));
    fs::permissions(folder / "docs/a.txt", fs::perms(0755));
    auto time =
        fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(sampleTime));
    for (const char* name : {"docs/a.txt", "docs/sub/b.txt", "empty.txt", "big.bin"})
        fs::last_write_time(folder / name, time);
}

void flipByteOf(const fs::path& archive, const std::string& marker) {
    std::string bytes = readFile(archive);
    auto at = bytes.find(marker);
    if (at == std::string::npos || bytes.find(marker, at + 1) != std::string::npos)
        throw std::runtime_error("marker not found once in " + archive.string());
    bytes[at + marker.size() / 2] ^= 0x5A;
    writeFile(archive, bytes);
}

void makeDamagedArchive(const fs::path& archive, const fs::path& sources) {
    writeFile(sources / "damage/a.txt", "first file\n");
    writeFile(sources / "damage/b.txt", "DAMAGED-FILE-CONTENT-0123456789\n");
    writeFile(sources / "damage/c.txt", "last file\n");
    makeArchive(archive, sources / "damage", "-m0", "a.txt b.txt c.txt");
    flipByteOf(archive, "DAMAGED-FILE-CONTENT");
}

} // namespace vexa::testing::rar
