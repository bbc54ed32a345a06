#pragma once

#include "engines/zip/container/ZipFileInfo.h"
#include "tests/support/TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Reading and writing whole archives through the container layer, for the tests.
namespace vexa::ziptest {

// The general helpers too, so that one `using namespace` brings every name.
using namespace vexa::testing;

struct ReadEntry {
    ZipFileInfo info; // pointers cleared; the bytes are in the strings below
    std::string name;
    std::optional<std::string> linkname;
    bool isDir = false;
    std::string data;
    int readStatus = 0;  // first negative status of open, read or close; 0 when all went well
    int closeStatus = 0; // status of the entry read close
};

struct ReadResult {
    int openStatus = 0;
    int listStatus = 0; // the status that ended the walk: -100 when complete
    uint64_t count = 0;
    uint32_t diskWithCd = 0;
    std::vector<ReadEntry> entries;
};

// Opens the archive, walks every entry and reads its data (raw or decoded with `password`).
ReadResult readArchive(const std::filesystem::path& archive, const char* password = nullptr,
                       bool raw = false, bool readData = true);

struct NewEntry {
    std::string name;
    std::string data;
    uint16_t method = 8;
    int16_t level = 6;
    int64_t modified = 1700000000;
    uint32_t externalAttributes = 0x81A40000;
    bool aes = false;
    uint16_t zip64 = 0;
};

// Writes the entries into a new archive; fails the current test on any negative status.
void writeArchive(const std::filesystem::path& archive, const std::vector<NewEntry>& entries,
                  const char* password = nullptr, int64_t diskSize = 0);

uint32_t crcOf(const std::string& bytes);

// Runs a Python script in `directory`; fails the current test when it fails.
void runPython(const std::string& script, const std::filesystem::path& directory);

} // namespace vexa::ziptest
