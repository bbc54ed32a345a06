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

} // namespace
} // namespace vexa::testing
