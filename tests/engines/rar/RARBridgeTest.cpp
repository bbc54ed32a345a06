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
        testing::rar::makeArchive(*folder / "plain.rar", sources, "", "docs empty.txt big.bin");
        testing::rar::makeArchive(*folder / "hidden.rar", sources, "-hp", "docs", "pw");
        testing::rar::makeArchive(*folder / "set.rar", sources, "-m0 -v64k", "big.bin docs");
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
