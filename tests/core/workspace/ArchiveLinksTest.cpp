#include "core/workspace/ArchiveEdits.h"
#include "engines/EngineFactory.h"
#include "platform/Progress.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa::testing {
namespace {

namespace fs = std::filesystem;

struct LinkedFormat {
    const char* name;
    const char* makeWith; // an independent tool, run in the archive's folder
};

// An archive reached through a link, absolute or relative, opens and is edited where it lies:
// the link stays a link, the file it leads to changes and keeps its mode and owner.
TEST(ArchiveLinks, EveryFormatOpensAndEditsThroughALink) {
    const LinkedFormat formats[] = {
        {"a.zip", "zip -q -r a.zip docs"},
        {"a.tar.gz", "bsdtar -czf a.tar.gz docs"},
        {"a.rar", "rar a -idq a.rar docs"},
        {"a.7z", "bsdtar --format 7zip -cf a.7z docs"},
    };
    for (const LinkedFormat& format : formats) {
        if (std::string(format.name) == "a.rar") {
            ASSERT_TRUE(toolInstalled("rar"));
        }
        for (const bool relative : {false, true}) {
            TemporaryDirectory folder;
            writeFile(folder / "real" / "docs" / "a.txt", "uno");
            writeFile(folder / "real" / "docs" / "b.txt", "dos");
            runChecked(format.makeWith, folder / "real");
            const fs::path real = folder / "real" / format.name;
            ::chmod(real.c_str(), 0640);
            if (::geteuid() == 0) {
                ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
            }
            const fs::path link = folder / ("enlace-" + std::string(format.name));
            fs::create_symlink(relative ? fs::path("real") / format.name : real, link);
            const std::string context = std::string(format.name) + (relative ? " relativo" : "");

            ArchiveSummary summary;
            try {
                summary = makeArchiveEngine(link, std::nullopt)->list(link, *Progress::make());
            } catch (const std::exception& failure) {
                ADD_FAILURE() << context << ": " << failure.what();
                continue;
            }
            ArchiveItem item;
            for (const auto& entry : summary.entries)
                if (entry.path == "docs/a.txt")
                    item = entry;
            try {
                EXPECT_EQ(renameInArchive(summary, std::nullopt, *Progress::make(), item, "c.txt"),
                          link)
                    << context;
                const auto edited = relistArchive(link, std::nullopt);
                EXPECT_EQ(
                    deleteFromArchive(edited, std::nullopt, *Progress::make(), {"docs/b.txt"}),
                    link)
                    << context;
            } catch (const std::exception& failure) {
                ADD_FAILURE() << context << ": " << failure.what();
            }
            EXPECT_TRUE(fs::is_symlink(link)) << context;
            std::set<std::string> paths;
            for (const auto& entry : relistArchive(real, std::nullopt).entries)
                paths.insert(entry.path);
            EXPECT_TRUE(paths.contains("docs/c.txt") && !paths.contains("docs/a.txt") &&
                        !paths.contains("docs/b.txt"))
                << context;
            struct stat info {};
            ASSERT_EQ(::lstat(real.c_str(), &info), 0);
            EXPECT_TRUE(S_ISREG(info.st_mode)) << context;
            EXPECT_EQ(info.st_mode & 07777, 0640u) << context;
            if (::geteuid() == 0) {
                EXPECT_EQ(info.st_uid, 65534u) << context;
                EXPECT_EQ(info.st_gid, 65534u) << context;
            }
            for (const auto& entry : fs::directory_iterator(folder / "real"))
                EXPECT_FALSE(entry.path().filename().string().starts_with(".vexa-")) << context;
        }
    }
}

// A split ZIP set opened through a link to its last part finds its other parts beside the file
// the link leads to.
TEST(ArchiveLinks, ASplitZIPThroughALinkFindsItsParts) {
    TemporaryDirectory folder;
    writeFile(folder / "real" / "docs" / "a.bin", sampleBytes(150'000, 9, false));
    runChecked("zip -q -r -s 64k a.zip docs", folder / "real");
    fs::create_symlink("real/a.zip", folder / "enlace.zip");
    try {
        const auto summary = makeArchiveEngine(folder / "enlace.zip", std::nullopt)
                                 ->list(folder / "enlace.zip", *Progress::make());
        EXPECT_EQ(summary.volumes.size(), 3u);
        EXPECT_EQ(summary.volumes.back(), folder / "enlace.zip");
    } catch (const std::exception& failure) {
        ADD_FAILURE() << failure.what();
    }
}

} // namespace
} // namespace vexa::testing
