#include "engines/rar/RARBridge.h"

#include "tests/engines/rar/RARTestArchives.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

struct Recorder {
    std::string data;
    int probes = 0;
    // Once set, every probe answers -1.
    bool stop = false;
};

std::int32_t record(void* user, const std::uint8_t* data, std::int32_t length) {
    auto* recorder = static_cast<Recorder*>(user);
    if (data == nullptr) {
        ++recorder->probes;
        return recorder->stop ? -1 : 1;
    }
    recorder->data.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    return 1;
}

struct Closer {
    void operator()(VXRarHandle* handle) const { VXRarClose(handle); }
};
using Handle = std::unique_ptr<VXRarHandle, Closer>;

class RARBridgeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder = new TemporaryDirectory();
        fs::path sources = *folder / "src";
        testing::rar::makeSampleTree(sources);
        fs::create_symlink("docs/a.txt", sources / "link");
        testing::rar::makeArchive(*folder / "plain.rar", sources, "", "docs empty.txt big.bin");
        testing::rar::makeArchive(*folder / "hidden.rar", sources, "-hp", "docs", "pw");
        testing::rar::makeArchive(*folder / "set.rar", sources, "-m0 -v64k", "big.bin docs");
        testing::rar::makeArchive(*folder / "link.rar", sources, "-ol", "link");
        testing::writeFile(sources / "hard/one", "data\n");
        fs::create_hard_link(sources / "hard/one", sources / "hard/two");
        testing::rar::makeArchive(*folder / "hardlink.rar", sources / "hard", "-oh", "one two");
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }

    Handle open(const fs::path& archive, const char* password, std::int32_t& error) {
        return Handle(VXRarOpen(archive.c_str(), password, record, &recorder, &error));
    }

    static TemporaryDirectory* folder;
    Recorder recorder;
};

TemporaryDirectory* RARBridgeTest::folder = nullptr;

TEST_F(RARBridgeTest, OpenResultCodes) {
    struct Case {
        std::string archive;
        const char* password;
        std::int32_t error;
    };
    const std::vector<Case> cases = {
        {"plain.rar", nullptr, 0},     {"hidden.rar", nullptr, 22},
        {"hidden.rar", "wrong", 24},   {"hidden.rar", "pw", 0},
        {"set.part1.rar", nullptr, 0}, {"set.part2.rar", nullptr, VXRarNotFirstVolume},
    };
    for (const auto& c : cases) {
        std::int32_t error = -1;
        Handle handle = open(*folder / c.archive, c.password, error);
        EXPECT_EQ(error, c.error) << c.archive;
        EXPECT_EQ(handle != nullptr, c.error == 0) << c.archive;
    }
}

TEST_F(RARBridgeTest, EntryHeadersAndTestedData) {
    std::int32_t error = -1;
    Handle handle = open(*folder / "plain.rar", nullptr, error);
    ASSERT_TRUE(handle);
    bool sawA = false, sawDocs = false;
    while (VXRarNextHeader(handle.get()) == 0) {
        std::string name = VXRarEntryName(handle.get());
        recorder.data.clear();
        EXPECT_EQ(VXRarProcessEntry(handle.get(), 1), 0) << name;
        if ((VXRarEntryFlags(handle.get()) & VXRarEntryDirectory) == 0) {
            EXPECT_EQ(VXRarEntryModTime(handle.get()), testing::rar::sampleTime) << name;
        }
        if (name == "docs/a.txt") {
            sawA = true;
            EXPECT_EQ(recorder.data, "hello from a\n");
            EXPECT_EQ(VXRarEntryMode(handle.get()), 0755u);
            EXPECT_EQ(VXRarEntryUnpackedSize(handle.get()), 13);
        }
        if (name == "docs") {
            sawDocs = true;
            EXPECT_NE(VXRarEntryFlags(handle.get()) & VXRarEntryDirectory, 0u);
        }
        if (name == "docs/sub/b.txt") {
            EXPECT_EQ(VXRarEntryMode(handle.get()), 0644u);
        }
    }
    EXPECT_TRUE(sawA);
    EXPECT_TRUE(sawDocs);
    EXPECT_EQ(VXRarVolumeCount(handle.get()), 0);
    EXPECT_GT(recorder.probes, 0);
}

TEST_F(RARBridgeTest, LinksAreRefusedAtTheirHeader) {
    struct Case {
        const char* archive;
        int plainEntriesFirst;
    };
    for (const Case c : {Case{"link.rar", 0}, Case{"hardlink.rar", 1}}) {
        std::int32_t error = -1;
        Handle handle = open(*folder / c.archive, nullptr, error);
        ASSERT_TRUE(handle) << c.archive;
        for (int i = 0; i < c.plainEntriesFirst; ++i) {
            ASSERT_EQ(VXRarNextHeader(handle.get()), 0);
            ASSERT_EQ(VXRarProcessEntry(handle.get(), 0), 0);
        }
        EXPECT_EQ(VXRarNextHeader(handle.get()), VXRarUnsupportedEntry) << c.archive;
    }
}

TEST_F(RARBridgeTest, VolumesAreRecordedOnceEach) {
    std::int32_t error = -1;
    Handle handle = open(*folder / "set.part1.rar", nullptr, error);
    ASSERT_TRUE(handle);
    while (VXRarNextHeader(handle.get()) == 0)
        ASSERT_EQ(VXRarProcessEntry(handle.get(), 1), 0);
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < VXRarVolumeCount(handle.get()); ++i)
        names.push_back(fs::path(VXRarVolumeName(handle.get(), i)).filename());
    EXPECT_EQ(names, (std::vector<std::string>{"set.part2.rar", "set.part3.rar", "set.part4.rar"}));
    EXPECT_STREQ(VXRarMissingVolume(handle.get()), "");
    EXPECT_STREQ(VXRarVolumeName(handle.get(), 99), "");
}

TEST_F(RARBridgeTest, MissingVolumeIsStickyAndNamed) {
    TemporaryDirectory copy;
    for (const char* name : {"set.part1.rar", "set.part2.rar", "set.part4.rar"})
        fs::copy_file(*folder / name, copy / name);
    std::int32_t error = -1;
    Handle handle = open(copy / "set.part1.rar", nullptr, error);
    ASSERT_TRUE(handle);
    ASSERT_EQ(VXRarNextHeader(handle.get()), 0);
    EXPECT_EQ(VXRarProcessEntry(handle.get(), 1), VXRarVolumeMissing);
    EXPECT_EQ(fs::path(VXRarMissingVolume(handle.get())).filename(), "set.part3.rar");
    EXPECT_EQ(VXRarNextHeader(handle.get()), VXRarVolumeMissing);
    EXPECT_EQ(VXRarVolumeCount(handle.get()), 1);
}

TEST_F(RARBridgeTest, NegativeProbeStopsTheLibrary) {
    std::int32_t error = -1;
    Handle handle = open(*folder / "plain.rar", nullptr, error);
    ASSERT_TRUE(handle);
    while (VXRarNextHeader(handle.get()) == 0) {
        if (std::string(VXRarEntryName(handle.get())) == "big.bin") {
            recorder.stop = true;
            EXPECT_NE(VXRarProcessEntry(handle.get(), 1), 0);
            EXPECT_TRUE(recorder.data.empty());
            return;
        }
        VXRarProcessEntry(handle.get(), 0);
    }
    FAIL() << "big.bin not found";
}

TEST_F(RARBridgeTest, FailedOpenReleasesTheProcessLock) {
    std::int32_t error = -1;
    EXPECT_FALSE(open(*folder / "hidden.rar", nullptr, error));
    EXPECT_FALSE(open(*folder / "missing.rar", nullptr, error));
    // Would wait for ever if a failed open had kept the lock.
    EXPECT_TRUE(open(*folder / "plain.rar", nullptr, error));
}

} // namespace
} // namespace vexa
