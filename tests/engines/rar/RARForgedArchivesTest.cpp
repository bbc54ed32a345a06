// Archives written byte by byte: what rar 7 no longer writes (RAR 4 with names in UTF-8
// without the Unicode flag, as old Unix versions of rar did) and what crashes libunrar.

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARArchiveEngine.h"
#include "tests/support/TestSupport.h"

#include <functional>
#include <gtest/gtest.h>
#include <zlib.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

void put16(std::string& out, std::uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// A RAR 1.5-4.x block: the header CRC is the low half of the CRC-32 of what follows it.
std::string block(const std::string& body) {
    std::string out;
    put16(out, crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()) & 0xFFFF);
    return out + body;
}

std::uint32_t crcOf(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// Stored Unix files (mode 0640) with the given raw names and contents.
std::string rar4Archive(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string archive("Rar!\x1A\x07\x00", 7);
    std::string main;
    main += '\x73';
    put16(main, 0);  // flags
    put16(main, 13); // header size
    put16(main, 0);
    put32(main, 0);
    archive += block(main);
    for (const auto& [name, data] : files) {
        std::string file;
        file += '\x74';
        put16(file, 0x8000); // a data area follows
        put16(file, static_cast<std::uint32_t>(32 + name.size()));
        put32(file, static_cast<std::uint32_t>(data.size())); // packed
        put32(file, static_cast<std::uint32_t>(data.size())); // unpacked
        file += '\x03';                                       // made on Unix
        put32(file, crcOf(data));
        put32(file, (((2020 - 1980) << 9 | 1 << 5 | 1) << 16) | 12 << 11); // 2020-01-01 12:00
        file += '\x14';                                                    // version 2.0
        file += '\x30';                                                    // stored
        put16(file, static_cast<std::uint32_t>(name.size()));
        put32(file, 0100640);
        file += name;
        archive += block(file) + data;
    }
    std::string end;
    end += '\x7B';
    put16(end, 0x4000);
    put16(end, 7);
    return archive + block(end);
}

TEST(RARForgedArchivesTest, RAR4NamesInUTF8KeepTheirExactBytes) {
    TemporaryDirectory work;
    const std::string nino = "ni\xC3\xB1o.txt";
    const std::string folder = "caf\xC3\xA9/\xE2\x82\xAC.txt"; // café/€.txt
    testing::writeFile(work / "viejo.rar", rar4Archive({{nino, "hola"}, {folder, "euro"}}));

    Progress listing;
    const auto summary = RARArchiveEngine().list(work / "viejo.rar", listing);
    ASSERT_EQ(summary.entries.size(), 2u);
    EXPECT_EQ(summary.entries[0].path, nino);
    EXPECT_EQ(summary.entries[1].path, folder);

    Progress extraction;
    const fs::path out =
        RARArchiveEngine().extract(work / "viejo.rar", {}, work.path(), extraction);
    EXPECT_EQ(testing::readFile(out / nino), "hola");
    EXPECT_EQ(testing::readFile(out / folder), "euro");
    EXPECT_EQ(fs::status(out / nino).permissions(), static_cast<fs::perms>(0640));
}

// 23 bytes on which libunrar 6.2 dies with SIGSEGV while opening (so does `unrar l`).
const std::string crasher("Rar!\x1A\x07\x01\x00\x28\x92\xB5\xE5\x0A\x01\x05\x06\x00\x05\x02\x01"
                          "\x80\x80\x00",
                          23);

TEST(RARForgedArchivesTest, ACrashOfTheLibraryIsADamagedArchive) {
    TemporaryDirectory work;
    const fs::path archive = work / "rompe.rar";
    testing::writeFile(archive, crasher);
    const ArchiveFailure damaged = ArchiveFailure::rarFailure(
        "Archivo dañado: el lector de RAR se detuvo de forma inesperada.");
    const std::vector<std::pair<std::string, std::function<void(Progress&)>>> operations = {
        {"list", [&](Progress& p) { RARArchiveEngine().list(archive, p); }},
        {"extract", [&](Progress& p) { RARArchiveEngine().extract(archive, {}, work.path(), p); }},
        {"checksums",
         [&](Progress& p) { RARArchiveEngine::entryChecksums(archive, p, std::nullopt, false); }},
        {"damaged entries",
         [&](Progress& p) { RARArchiveEngine::damagedEntries(archive, p, std::nullopt); }},
        {"password",
         [&](Progress& p) { RARArchiveEngine::verifyPassword(archive, p, "pw", true); }},
    };
    for (const auto& [name, operation] : operations) {
        Progress progress;
        try {
            operation(progress);
            ADD_FAILURE() << name << " succeeded";
        } catch (const ArchiveFailure& failure) {
            EXPECT_EQ(failure, damaged) << name;
        }
    }
    EXPECT_FALSE(rarArchiveHidesNames(archive));
    // Nothing but the archive is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(work.path()), fs::directory_iterator()), 1);
}

} // namespace
} // namespace vexa
