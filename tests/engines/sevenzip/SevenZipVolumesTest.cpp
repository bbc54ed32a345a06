#include "engines/sevenzip/SevenZipVolumes.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "tests/engines/sevenzip/SevenZipFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vexa {
namespace {

using namespace testing::sevenzip;

// A stored archive of ~300 KB cut by `split` into 64 KiB parts: name.7z.001 ... name.7z.005.
class SevenZipVolumeSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto source = temporary / "src";
        std::filesystem::create_directories(source / "docs");
        writeFile(source / "docs" / "uno.bin", first);
        writeFile(source / "dos.bin", second);
        const auto whole = makeSevenZip(temporary / "juego.7z", source, "docs dos.bin", "store");
        std::filesystem::create_directory(temporary / "set");
        runChecked("split -b 65536 -d -a 3 --numeric-suffixes=1 " + shellQuote(whole.string()) +
                       " juego.7z.",
                   temporary / "set");
        for (int number = 1; number <= 5; ++number)
            parts.push_back(temporary / "set" / ("juego.7z.00" + std::to_string(number)));
        ASSERT_TRUE(std::filesystem::exists(parts.back()));
        ASSERT_FALSE(std::filesystem::exists(temporary / "set" / "juego.7z.006"));
    }

    void expectListFailure(const std::filesystem::path& archive, const ArchiveFailure& expected) {
        Progress progress;
        expectFailure([&] { SevenZipArchiveEngine().list(archive, progress); }, expected);
    }

    TemporaryDirectory temporary;
    const std::string first = sampleBytes(180000, 11, false);
    const std::string second = sampleBytes(120000, 12, false);
    std::vector<std::filesystem::path> parts;
};

TEST_F(SevenZipVolumeSetTest, ReadsTheSetAsOneArchive) {
    Progress progress;
    SevenZipArchiveEngine engine;
    const auto summary = engine.list(parts.front(), progress);
    EXPECT_EQ(summary.volumes, parts);
    EXPECT_EQ(summary.entries.size(), 3u);

    const auto result = engine.extract(parts.front(), {}, temporary / "set", progress);
    EXPECT_EQ(result, temporary / "set" / "juego");
    EXPECT_EQ(readFile(result / "docs" / "uno.bin"), first);
    EXPECT_EQ(readFile(result / "dos.bin"), second);
}

TEST_F(SevenZipVolumeSetTest, MissingPartIsNamed) {
    std::filesystem::remove(parts[2]);
    expectListFailure(parts.front(), ArchiveFailure::missingVolume("juego.7z.003"));
    std::filesystem::remove(parts[3]);
    std::filesystem::remove(parts[4]);
    std::filesystem::rename(temporary / "set" / "juego.7z.002", parts[2]);
    expectListFailure(parts.front(), ArchiveFailure::missingVolume("juego.7z.002"));
}

TEST_F(SevenZipVolumeSetTest, MissingLastPartIsNamed) {
    std::filesystem::remove(parts[4]);
    expectListFailure(parts.front(), ArchiveFailure::missingVolume("juego.7z.005"));
}

TEST_F(SevenZipVolumeSetTest, UnreadablePartIsNamed) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root from reading";
    std::filesystem::permissions(parts[1], std::filesystem::perms::none);
    expectListFailure(parts.front(), ArchiveFailure::missingVolume("juego.7z.002"));
}

// What root cannot be refused, a link to nowhere still is: the part is there but will not open.
TEST_F(SevenZipVolumeSetTest, PartThatWillNotOpenIsNamed) {
    std::filesystem::remove(parts[3]);
    std::filesystem::create_symlink(temporary / "nada", parts[3]);
    expectListFailure(parts.front(), ArchiveFailure::missingVolume("juego.7z.004"));
}

TEST_F(SevenZipVolumeSetTest, LaterPartIsNotTheFirstVolume) {
    expectListFailure(parts[1], ArchiveFailure::notFirstVolume());
}

TEST_F(SevenZipVolumeSetTest, NumberedSetWithoutSevenZipInItsName) {
    for (int number = 1; number <= 5; ++number)
        std::filesystem::rename(parts[number - 1],
                                temporary / "set" / ("copia.00" + std::to_string(number)));
    Progress progress;
    const auto summary = SevenZipArchiveEngine().list(temporary / "set" / "copia.001", progress);
    EXPECT_EQ(summary.volumes.size(), 5u);
    EXPECT_EQ(summary.volumes.back(), temporary / "set" / "copia.005");
}

TEST(SevenZipVolumeNames, DiscoveryAndBaseNames) {
    TemporaryDirectory temporary;
    // A whole archive that merely ends in a number is its own only part.
    writeFile(temporary / "informe.2024", "x");
    EXPECT_EQ(sevenZipVolumes(temporary / "informe.2024"),
              std::vector<std::filesystem::path>{temporary / "informe.2024"});

    const std::pair<const char*, const char*> names[] = {
        {"fotos.7z", "fotos"},  {"fotos.7z.001", "fotos"},     {"Fotos.7Z", "Fotos"},
        {"fotos.001", "fotos"}, {"fotos.tar.7z", "fotos.tar"}, {"fotos", "fotos"},
        {".7z", ".7z"},
    };
    for (const auto& [name, base] : names)
        EXPECT_EQ(sevenZipBaseName(temporary / name), base) << name;
}

} // namespace
} // namespace vexa
