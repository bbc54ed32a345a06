// Split sets: those Info-ZIP makes and those this layer makes must read the same way.
#include "ContainerTestSupport.h"
#include "engines/zip/container/ZipStatus.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace ziptest;

constexpr int64_t diskSize = 65536;

std::string partName(int number) {
    return std::string(number < 10 ? "x.z0" : "x.z") + std::to_string(number);
}

// Incompressible data, so that 64 KiB parts really fill up.
std::vector<NewEntry> splitEntries() {
    std::vector<NewEntry> entries;
    for (int i = 0; i < 12; ++i) {
        NewEntry entry;
        entry.name = "parte/" + std::to_string(i) + ".bin";
        entry.data = sampleBytes(static_cast<size_t>(3000 + 9001 * i), 100 + i, false);
        entry.method = i % 2 == 0 ? 8 : 0;
        entry.level = i % 2 == 0 ? 6 : 0;
        entries.push_back(entry);
    }
    return entries;
}

TEST(ZipSplit, ReadsInfoZipSplitSet) {
    TemporaryDirectory dir;
    auto entries = splitEntries();
    std::filesystem::create_directories(dir / "in/parte");
    for (const auto& entry : entries)
        writeFile(dir / ("in/" + entry.name), entry.data);
    runChecked("zip -q -r -s 64k ../x.zip parte", dir / "in");
    ASSERT_TRUE(std::filesystem::exists(dir / "x.z04"));
    auto result = readArchive(dir / "x.zip");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    EXPECT_GE(result.diskWithCd, 4u);
    EXPECT_TRUE(std::filesystem::exists(dir / partName(static_cast<int>(result.diskWithCd))));
    size_t files = 0;
    for (const auto& read : result.entries) {
        if (read.isDir)
            continue;
        ++files;
        EXPECT_EQ(read.readStatus, zipstatus::ok) << read.name;
        for (const auto& entry : entries) {
            if (entry.name == read.name) {
                EXPECT_EQ(read.data, entry.data) << read.name;
            }
        }
    }
    EXPECT_EQ(files, entries.size());

    // A missing part is an open failure when its bytes are needed, never a crash.
    std::filesystem::remove(dir / "x.z02");
    auto damaged = readArchive(dir / "x.zip");
    bool failed = damaged.openStatus != zipstatus::ok || damaged.listStatus != zipstatus::endOfList;
    for (const auto& read : damaged.entries)
        failed = failed || read.readStatus == zipstatus::open;
    EXPECT_TRUE(failed);
}

TEST(ZipSplit, MissingPartFailsOnlyTheEntriesItHolds) {
    // The first entry (marker, 40-byte header, data, 16-byte descriptor) ends exactly at the end
    // of the first part: reading it must not reach into the second part, which is gone.
    TemporaryDirectory dir;
    std::vector<NewEntry> entries(3);
    entries[0].name = "a";
    entries[0].data = sampleBytes(diskSize - 4 - 40 - 16, 1, false);
    entries[1].name = "b";
    entries[1].data = sampleBytes(100000, 2, false);
    entries[2].name = "c";
    entries[2].data = "c";
    for (auto& entry : entries) {
        entry.method = 0;
        entry.level = 0;
    }
    writeArchive(dir / "x.zip", entries, nullptr, diskSize);
    ASSERT_EQ(std::filesystem::file_size(dir / "x.z01"), static_cast<uintmax_t>(diskSize));
    ASSERT_TRUE(std::filesystem::remove(dir / "x.z02"));
    auto result = readArchive(dir / "x.zip");
    ASSERT_EQ(result.entries.size(), 3u);
    EXPECT_EQ(result.entries[0].readStatus, zipstatus::ok);
    EXPECT_TRUE(result.entries[0].data == entries[0].data);
    EXPECT_EQ(result.entries[1].readStatus, zipstatus::open);
    EXPECT_EQ(result.entries[2].readStatus, zipstatus::ok);
    EXPECT_EQ(result.entries[2].data, "c");
}

TEST(ZipSplit, WrittenSetHasExactPartsAndReadsBack) {
    TemporaryDirectory dir;
    auto entries = splitEntries();
    NewEntry aes;
    aes.name = "cifrado.bin";
    aes.data = sampleBytes(90000, 7, false);
    aes.aes = true;
    entries.push_back(aes);
    writeArchive(dir / "x.zip", entries, "pw", diskSize);

    std::vector<std::filesystem::path> parts;
    for (int i = 1; std::filesystem::exists(dir / partName(i)); ++i)
        parts.push_back(dir / partName(i));
    ASSERT_GE(parts.size(), 4u);
    for (const auto& part : parts)
        EXPECT_EQ(std::filesystem::file_size(part), static_cast<uintmax_t>(diskSize)) << part;
    EXPECT_LE(std::filesystem::file_size(dir / "x.zip"), static_cast<uintmax_t>(diskSize));
    EXPECT_EQ(readFile(parts[0]).substr(0, 4), std::string("PK\x07\x08", 4));

    auto result = readArchive(dir / "x.zip", "pw");
    ASSERT_EQ(result.openStatus, zipstatus::ok);
    EXPECT_EQ(result.listStatus, zipstatus::endOfList);
    EXPECT_EQ(result.diskWithCd, parts.size());
    ASSERT_EQ(result.entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(result.entries[i].name, entries[i].name);
        EXPECT_EQ(result.entries[i].readStatus, zipstatus::ok) << entries[i].name;
        EXPECT_EQ(result.entries[i].data, entries[i].data) << entries[i].name;
    }
}

TEST(ZipSplit, SetThatFitsOnePartIsAnOrdinaryArchive) {
    TemporaryDirectory dir;
    NewEntry entry;
    entry.name = "poco.txt";
    entry.data = "cabe en una parte";
    writeArchive(dir / "x.zip", {entry}, nullptr, diskSize);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.z01"));
    runChecked("unzip -tq x.zip", dir.path());
    ziptest::runPython("import zipfile\nassert zipfile.ZipFile('x.zip').read('poco.txt') == "
                       "b'cabe en una parte'\n",
                       dir.path());
    auto result = readArchive(dir / "x.zip");
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.diskWithCd, 0u);
}

} // namespace
} // namespace vexa
