#pragma once

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <optional>
#include <string>

// Archives made by the real rar program, for the RAR engine's tests.
namespace vexa::testing::rar {

// Runs `rar a -idq <switches> <archive> <names>` inside `sources`. A password goes to the
// program's standard input, so `switches` must then hold a bare -p or -hp.
void makeArchive(const std::filesystem::path& archive, const std::filesystem::path& sources,
                 const std::string& switches, const std::string& names,
                 const std::optional<std::string>& password = std::nullopt);

// A small tree: docs/a.txt (mode 0755), docs/sub/b.txt, empty.txt, big.bin (`bigSize` random
// bytes), each with a fixed modification time.
void makeSampleTree(const std::filesystem::path& folder, std::size_t bigSize = 200000);

// The modification time given to every file of the sample tree.
constexpr long sampleTime = 1600000000;

// Flips one byte inside `marker`, which must occur once in the file (stored with -m0).
void flipByteOf(const std::filesystem::path& archive, const std::string& marker);

// a.txt, b.txt and c.txt (written under sources/damage), stored, with one byte of b.txt's data
// flipped so that only b.txt fails its CRC.
void makeDamagedArchive(const std::filesystem::path& archive, const std::filesystem::path& sources);

} // namespace vexa::testing::rar
