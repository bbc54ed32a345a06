#include "engines/EngineFactory.h"
#include "platform/Progress.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

// The folder an extraction leaves is an ordinary new folder (0777 less the umask), readable by
// others in a shared folder; it was private only while it filled.
TEST(ExtractionFolder, EveryEngineLeavesAFolderWithNewFolderPermissions) {
    const struct {
        const char* name;
        const char* makeWith;
    } formats[] = {
        {"a.zip", "zip -q -r a.zip docs"},
        {"a.tar.gz", "bsdtar -czf a.tar.gz docs"},
        {"a.rar", "rar a -idq a.rar docs"},
        {"a.7z", "bsdtar --format 7zip -cf a.7z docs"},
    };
    for (const mode_t mask : {022u, 027u}) {
        for (const auto& format : formats) {
            if (std::string(format.name) == "a.rar") {
                ASSERT_TRUE(toolInstalled("rar"));
            }
            TemporaryDirectory folder;
            writeFile(folder / "docs" / "a.txt", "uno");
            runChecked(format.makeWith, folder.path());
            fs::create_directory(folder / "destino");
            const mode_t previous = ::umask(mask);
            fs::path result;
            try {
                result =
                    makeArchiveEngine(folder / format.name, std::nullopt)
                        ->extract(folder / format.name, {}, folder / "destino", *Progress::make());
            } catch (const std::exception& failure) {
                ADD_FAILURE() << format.name << ": " << failure.what();
            }
            ::umask(previous);
            struct stat info {};
            ASSERT_EQ(::stat(result.c_str(), &info), 0) << format.name;
            EXPECT_EQ(info.st_mode & 07777, 0777u & ~mask) << format.name;
            EXPECT_EQ(readFile(result / "docs" / "a.txt"), "uno") << format.name;
        }
    }
}

// Every folder of the archive gets back its archived time, set once its contents are written,
// as the format's own tool restores it; whichever way the engine reads the archive (one pass,
// by the listing's places, with folders listed after their contents).
TEST(ExtractionFolder, FolderTimesAreRestoredAsTheFormatsToolsRestoreThem) {
    ASSERT_TRUE(toolInstalled("rar"));
    const struct {
        const char* name;
        const char* makeWith;
        const char* toolExtracts; // into "ref"
    } formats[] = {
        {"a.zip", "zip -q -r a.zip docs", "unzip -q a.zip -d ref"},
        {"a.tar", "tar -cf a.tar docs", "tar -xf a.tar -C ref"},
        {"a.tar.gz", "bsdtar -czf a.tar.gz docs", "bsdtar -xf a.tar.gz -C ref"},
        {"a.tar.zst", "tar --zstd -cf a.tar.zst docs", "tar -xf a.tar.zst -C ref"},
        {"a.tar.xz", "tar -cf - docs | xz -T2 --block-size=4096 > a.tar.xz",
         "tar -xf a.tar.xz -C ref"},
        {"a.rar", "rar a -idq a.rar docs", "rar x -idq a.rar ref/"},
        {"a.7z", "bsdtar --format 7zip -cf a.7z docs", "bsdtar -xf a.7z -C ref"},
    };
    const char* const folders[] = {"docs", "docs/sub", "docs/sub/deep", "docs/empty"};
    for (const auto& format : formats) {
        SCOPED_TRACE(format.name);
        TemporaryDirectory folder;
        fs::create_directories(folder / "docs/sub/deep");
        fs::create_directories(folder / "docs/empty");
        writeFile(folder / "docs/sub/deep/a.txt", sampleBytes(20000, 1, true));
        writeFile(folder / "docs/sub/b.txt", "b");
        runChecked("touch -d '2001-02-03 04:05:06 UTC' docs/sub/deep && "
                   "touch -d '2002-03-04 05:06:07 UTC' docs/sub && "
                   "touch -d '2003-04-05 06:07:08 UTC' docs/empty && "
                   "touch -d '2004-05-06 07:08:09 UTC' docs",
                   folder.path());
        runChecked(format.makeWith, folder.path());
        fs::create_directory(folder / "ref");
        runChecked(format.toolExtracts, folder.path());
        fs::create_directory(folder / "destino");
        const fs::path result =
            makeArchiveEngine(folder / format.name, std::nullopt)
                ->extract(folder / format.name, {}, folder / "destino", *Progress::make());
        for (const char* name : folders) {
            struct stat ours {};
            struct stat tools {};
            ASSERT_EQ(::stat((result / name).c_str(), &ours), 0) << name;
            ASSERT_EQ(::stat((folder / "ref" / name).c_str(), &tools), 0) << name;
            EXPECT_EQ(ours.st_mtime, tools.st_mtime) << name;
        }
        struct stat deep {};
        ASSERT_EQ(::stat((result / "docs/sub/deep").c_str(), &deep), 0);
        EXPECT_EQ(deep.st_mtime, 981173106);
    }
}

} // namespace
} // namespace vexa::testing
