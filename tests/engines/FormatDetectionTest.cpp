#include "engines/FormatDetection.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using testing::runChecked;
using testing::shellQuote;
using testing::TemporaryDirectory;
using testing::writeFile;

const std::string sevenZipBytes("7z\xBC\xAF\x27\x1C\x00\x04", 8);
const std::string marker("Rar!\x1A\x07", 6);

// `size` zero bytes with the RAR marker written at `offset`.
std::string withMarkerAt(std::size_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    bytes.replace(offset, marker.size(), marker);
    return bytes;
}

class FormatDetectionTest : public ::testing::Test {
  protected:
    std::filesystem::path file(const std::string& name, const std::string& bytes) {
        writeFile(temporary / name, bytes);
        return temporary / name;
    }
    TemporaryDirectory temporary;
};

TEST_F(FormatDetectionTest, SevenZipByNameOrByTheSignatureOfANumberedPart) {
    struct Case {
        std::string name;
        std::optional<std::string> content; // none: the file does not exist
        bool expected;
    };
    const Case cases[] = {
        {"x.7z", std::nullopt, true},     // by name, nothing read
        {"X.7Z", "no es un 7z", true},    // whatever the content
        {"x.7z.001", std::nullopt, true}, // a part by name, even missing
        {"x.7Z.017", "", true},
        {"x.001", sevenZipBytes, true}, // by signature
        {"x.001", "PK\x03\x04 un zip partido", false},
        {"y.001", std::nullopt, false},
        {"z.001", sevenZipBytes.substr(0, 5), false}, // too short to hold it
        {"x.\xD9\xA3", sevenZipBytes, true},          // Arabic-Indic three is a number too
        {"x.1a", sevenZipBytes, false},
        {"x", sevenZipBytes, false},
        {"x.zip", sevenZipBytes, false},
        {"x.tar.gz", sevenZipBytes, false},
    };
    for (const auto& c : cases) {
        const auto location = temporary / c.name;
        std::filesystem::remove(location);
        if (c.content)
            writeFile(location, *c.content);
        EXPECT_EQ(isSevenZipArchive(location), c.expected) << c.name;
    }
}

TEST_F(FormatDetectionTest, RarMarkerSearchIsBoundedAndFindsStraddlingMarkers) {
    const std::size_t chunk = rarMarkerChunkSize;
    const std::size_t searched = chunk * rarMarkerMaximumReads; // 4 MiB
    struct Case {
        const char* what;
        std::size_t offset;
        std::size_t size;
        bool expected;
    };
    const Case cases[] = {
        {"at the start", 0, 1000, true},
        {"at 300000", 300000, 400000, true},
        {"straddling the first two reads", chunk - 2, chunk + 100, true},
        {"ending the first read", chunk - marker.size(), chunk, true},
        {"straddling the fifteenth and sixteenth reads", 15 * chunk - 3, searched, true},
        {"ending the last read", searched - marker.size(), searched + 100, true},
        {"straddling the end of the search", searched - 3, searched + 100, false},
        {"beyond 4 MiB", searched, searched + 100, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isRARArchive(file("p.exe", withMarkerAt(c.offset, c.size))), c.expected)
            << c.what;
    EXPECT_FALSE(isRARArchive(file("vacio.exe", "")));
    EXPECT_FALSE(isRARArchive(temporary / "falta.exe"));
    EXPECT_TRUE(isRARArchive(file("m.SFX", withMarkerAt(10, 100))));
    // Outside "exe" and "sfx" content is never searched.
    EXPECT_FALSE(isRARArchive(file("m.zip", withMarkerAt(0, 100))));
    EXPECT_FALSE(isRARArchive(file("m", withMarkerAt(0, 100))));
    EXPECT_FALSE(isRARArchive(file("m.bin", withMarkerAt(0, 100))));
    // By name alone.
    EXPECT_TRUE(isRARArchive(temporary / "Backup.RAR"));
    EXPECT_TRUE(isRARArchive(temporary / "x.part3.rar"));
}

TEST_F(FormatDetectionTest, SelfExtractingRarFromTheRarProgram) {
    ASSERT_TRUE(testing::toolInstalled("rar"));
    writeFile(temporary / "nota.txt", "hola");
    runChecked("rar a -idq -sfx/usr/lib/default.sfx instalador nota.txt", temporary.path());
    std::filesystem::rename(temporary / "instalador.sfx", temporary / "instalador.exe");
    EXPECT_TRUE(isRARArchive(temporary / "instalador.exe"));
    // The module alone carries no archive.
    std::filesystem::copy_file("/usr/lib/default.sfx", temporary / "modulo.exe");
    EXPECT_FALSE(isRARArchive(temporary / "modulo.exe"));
}

TEST_F(FormatDetectionTest, SupportedArchivesByNameAndByContent) {
    struct Case {
        std::string name;
        std::string content;
        bool expected;
    };
    const Case cases[] = {
        {"a.zip", "", true},       {"a.RAR", "", true},      {"a.sfx", "", true},
        {"a.exe", "", true},       {"a.7z", "", true},       {"app.apk", "", true},
        {"lib.jar", "", true},     {"lib.AAB", "", true},    {"data.001", sevenZipBytes, true},
        {"data.002", "PK", false}, {"x.tar.gz", "", true},   {"x.tzst", "", true},
        {"x.gz", "", true},        {"notes.txt", "", false}, {"sin_extension", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isSupportedArchive(file(c.name, c.content)), c.expected) << c.name;
    EXPECT_EQ(supportedArchiveExtensions(),
              (std::set<std::string>{"zip", "rar", "sfx", "exe", "7z"}));
}

} // namespace
} // namespace vexa
