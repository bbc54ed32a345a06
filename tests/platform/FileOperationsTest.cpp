#include "platform/FileOperations.h"

#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vexa::files {
namespace {

namespace fs = std::filesystem;
using vexa::testing::readFile;
using vexa::testing::TemporaryDirectory;
using vexa::testing::writeFile;

mode_t modeOf(const Path& location) {
    struct stat info {};
    EXPECT_EQ(::lstat(location.c_str(), &info), 0) << location;
    return info.st_mode & 07777;
}

PlatformError::Code errorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const PlatformError& error) {
        return error.code();
    }
    ADD_FAILURE() << "no PlatformError";
    return PlatformError::Code::fileReadUnknown;
}

// The umask must not weaken or widen the permissions a caller asks for.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }

  private:
    mode_t previous_;
};

TEST(FileReplace, ReaderSeesOnlyTheOldOrTheNewFileNeverAMix) {
    TemporaryDirectory folder;
    const Path original = folder / "archive.zip";
    const std::string first(256 * 1024, 'A');
    const std::string second(192 * 1024, 'B');
    writeFile(original, first);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = readFile(original);
            if (seen != first && seen != second)
                ++torn;
            ++reads;
        }
    });
    for (int round = 0; round < 150; ++round) {
        const Path work = itemReplacementDirectory(original);
        const Path replacement = work / "archive.zip";
        writeFile(replacement, round % 2 == 0 ? second : first);
        replaceItem(original, replacement);
        EXPECT_FALSE(fileExists(replacement));
        removeItemIgnoringErrors(work);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(readFile(original), first);
    // No staging folders are left beside the target.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

TEST(FileReplace, KeepsTheOriginalsPermissionsAndConsumesTheReplacement) {
    TemporaryDirectory folder;
    const Path original = folder / "a.rar";
    writeFile(original, "old");
    ::chmod(original.c_str(), 0640);
    const Path replacement = folder / "new.rar";
    const int fd = createFile(replacement, 0600);
    writeAll(fd, "new", 3, replacement);
    ::close(fd);

    replaceItem(original, replacement);
    EXPECT_EQ(readFile(original), "new");
    EXPECT_EQ(modeOf(original), 0640u);
    EXPECT_FALSE(fileExists(replacement));
}

TEST(FileReplace, PutsAFileWhereNothingWasAndAFolderOverAFullFolder) {
    TemporaryDirectory folder;
    writeFile(folder / "fresh", "x");
    replaceItem(folder / "target", folder / "fresh");
    EXPECT_EQ(readFile(folder / "target"), "x");

    fs::create_directories(folder / "old" / "inner");
    writeFile(folder / "old" / "inner" / "stale.txt", "stale");
    fs::create_directories(folder / "new");
    writeFile(folder / "new" / "kept.txt", "kept");
    replaceItem(folder / "old", folder / "new");
    EXPECT_EQ(readFile(folder / "old" / "kept.txt"), "kept");
    EXPECT_FALSE(fileExists(folder / "old" / "inner"));
    EXPECT_FALSE(fileExists(folder / "new"));
}

TEST(FileReplace, MissingReplacementLeavesTheOriginal) {
    TemporaryDirectory folder;
    writeFile(folder / "a.zip", "old");
    EXPECT_EQ(errorCodeOf([&] { replaceItem(folder / "a.zip", folder / "nothing"); }),
              PlatformError::Code::fileNoSuchFile);
    EXPECT_EQ(readFile(folder / "a.zip"), "old");
}

TEST(FileReplacementDirectory, IsAPrivateNewFolderBesideTheTarget) {
    TemporaryDirectory folder;
    const Path target = folder / "out.7z"; // need not exist yet
    const Path first = itemReplacementDirectory(target);
    const Path second = itemReplacementDirectory(target);
    EXPECT_NE(first, second);
    for (const Path& work : {first, second}) {
        EXPECT_EQ(fs::canonical(work.parent_path()), fs::canonical(folder.path()));
        EXPECT_EQ(attributesOfItem(work).type, FileType::directory);
        EXPECT_EQ(attributesOfItem(work).deviceNumber,
                  attributesOfItem(folder.path()).deviceNumber);
        EXPECT_EQ(modeOf(work), 0700u);
        EXPECT_TRUE(fs::is_empty(work));
    }
    EXPECT_THROW(itemReplacementDirectory(folder / "missing" / "x.zip"), PlatformError);
}

TEST(FileCreate, RefusesAnythingAlreadyThereIncludingLinks) {
    TemporaryDirectory folder;
    writeFile(folder / "file", "keep");
    fs::create_directory(folder / "dir");
    fs::create_symlink(folder / "file", folder / "linkToFile");
    fs::create_symlink(folder / "dir", folder / "linkToDir");
    fs::create_symlink(folder / "nowhere", folder / "dangling");

    for (const char* name : {"file", "dir", "linkToFile", "linkToDir", "dangling"}) {
        EXPECT_EQ(errorCodeOf([&] { createDirectory(folder / name); }), PlatformError::Code::system)
            << name;
        EXPECT_THROW(createFile(folder / name), PlatformError) << name;
    }
    // Nothing was created through the dangling link, and the linked file is untouched.
    EXPECT_FALSE(fs::exists(folder / "nowhere"));
    EXPECT_EQ(readFile(folder / "file"), "keep");
}

TEST(FileCreate, CreatesNoIntermediateFolders) {
    TemporaryDirectory folder;
    EXPECT_EQ(errorCodeOf([&] { createDirectory(folder / "a" / "b"); }),
              PlatformError::Code::fileNoSuchFile);
    EXPECT_EQ(errorCodeOf([&] { createFile(folder / "a" / "b"); }),
              PlatformError::Code::fileNoSuchFile);
    EXPECT_FALSE(fileExists(folder / "a"));
}

TEST(FileCreate, GivesExactlyTheAskedPermissionsWhateverTheUmask) {
    TemporaryDirectory folder;
    ScopedUmask umask(077);
    createDirectory(folder / "private");
    createDirectory(folder / "shared", 0755);
    FileDescriptor secret(createFile(folder / "secret"));
    FileDescriptor open(createFile(folder / "open", 0644));
    EXPECT_EQ(modeOf(folder / "private"), 0700u);
    EXPECT_EQ(modeOf(folder / "shared"), 0755u);
    EXPECT_EQ(modeOf(folder / "secret"), 0600u);
    EXPECT_EQ(modeOf(folder / "open"), 0644u);
    writeAll(open.get(), "data", 4, folder / "open");
    open.close();
    EXPECT_EQ(readFile(folder / "open"), "data");
}

TEST(FileAttributes, RoundTrip) {
    TemporaryDirectory folder;
    const Path file = folder / "entry.txt";
    writeFile(file, std::string(1234, 'x'));
    const FileTime date =
        std::chrono::system_clock::from_time_t(1'000'000'000) + std::chrono::microseconds(123'456);
    setPermissions(file, 0751);
    setModificationDate(file, date);

    const FileAttributes attributes = attributesOfItem(file);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(attributes.type, FileType::regular);
    EXPECT_EQ(attributes.permissions, 0751u);
    EXPECT_EQ(attributes.modificationDate, date);
    EXPECT_EQ(attributes.size, 1234);
    EXPECT_EQ(attributes.fileNumber, info.st_ino);
    EXPECT_EQ(attributes.deviceNumber, info.st_dev);

    setModificationDate(folder.path(), std::chrono::system_clock::from_time_t(86400));
    EXPECT_EQ(attributesOfItem(folder.path()).type, FileType::directory);
    EXPECT_EQ(attributesOfItem(folder.path()).modificationDate,
              std::chrono::system_clock::from_time_t(86400));
    // Dates before 1970 come out of old archives.
    setModificationDate(file, std::chrono::system_clock::from_time_t(-86400));
    EXPECT_EQ(attributesOfItem(file).modificationDate,
              std::chrono::system_clock::from_time_t(-86400));
}

TEST(FileAttributes, ALinkReportsItselfAndIsNeverFollowed) {
    TemporaryDirectory folder;
    const Path target = folder / "outside.txt";
    writeFile(target, "x");
    ::chmod(target.c_str(), 0644);
    const FileTime targetDate = attributesOfItem(target).modificationDate;
    const Path link = folder / "link";
    fs::create_symlink(target, link);

    EXPECT_EQ(attributesOfItem(link).type, FileType::symbolicLink);
    setPermissions(link, 0777);
    setModificationDate(link, std::chrono::system_clock::from_time_t(5000));
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_EQ(attributesOfItem(target).modificationDate, targetDate);
    EXPECT_EQ(attributesOfItem(link).modificationDate,
              std::chrono::system_clock::from_time_t(5000));
}

TEST(FileAttributes, MissingItems) {
    TemporaryDirectory folder;
    EXPECT_FALSE(attributesIfExists(folder / "none").has_value());
    EXPECT_FALSE(attributesIfExists(folder / "none" / "deeper").has_value());
    EXPECT_EQ(errorCodeOf([&] { attributesOfItem(folder / "none"); }),
              PlatformError::Code::fileNoSuchFile);
    EXPECT_EQ(errorCodeOf([&] { setPermissions(folder / "none", 0600); }),
              PlatformError::Code::fileNoSuchFile);
    fs::create_symlink(folder / "none", folder / "dangling");
    EXPECT_TRUE(fileExists(folder / "dangling"));
    EXPECT_FALSE(fileExists(folder / "none"));
}

TEST(FileAttributes, ExecutableFiles) {
    TemporaryDirectory folder;
    writeFile(folder / "tool", "#!/bin/sh\n");
    ::chmod((folder / "tool").c_str(), 0755);
    writeFile(folder / "plain", "x");
    ::chmod((folder / "plain").c_str(), 0644);
    fs::create_symlink(folder / "tool", folder / "linkToTool");
    fs::create_directory(folder / "dir");
    EXPECT_TRUE(isExecutableFile(folder / "tool"));
    EXPECT_TRUE(isExecutableFile(folder / "linkToTool"));
    EXPECT_FALSE(isExecutableFile(folder / "plain"));
    EXPECT_FALSE(isExecutableFile(folder / "dir"));
    EXPECT_FALSE(isExecutableFile(folder / "missing"));
}

TEST(FileMove, RefusesAnExistingDestination) {
    TemporaryDirectory folder;
    writeFile(folder / "source", "new");
    writeFile(folder / "file", "old");
    fs::create_directory(folder / "emptyDir");
    fs::create_symlink(folder / "nowhere", folder / "dangling");
    for (const char* name : {"file", "emptyDir", "dangling"}) {
        EXPECT_THROW(moveItem(folder / "source", folder / name), PlatformError) << name;
        EXPECT_EQ(readFile(folder / "source"), "new");
    }
    EXPECT_EQ(readFile(folder / "file"), "old");
    EXPECT_FALSE(fs::exists(folder / "nowhere"));

    fs::create_directories(folder / "staging" / "sub");
    EXPECT_THROW(moveItem(folder / "staging", folder / "emptyDir"), PlatformError);
    EXPECT_TRUE(fs::is_directory(folder / "staging" / "sub"));
}

TEST(FileMove, MovesFilesAndWholeFolders) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "staging" / "sub");
    writeFile(folder / "staging" / "sub" / "a.txt", "a");
    moveItem(folder / "staging", folder / "Result");
    EXPECT_EQ(readFile(folder / "Result" / "sub" / "a.txt"), "a");
    EXPECT_FALSE(fileExists(folder / "staging"));

    writeFile(folder / "f", "f");
    moveItem(folder / "f", folder / "Result" / "g");
    EXPECT_EQ(readFile(folder / "Result" / "g"), "f");
    EXPECT_EQ(errorCodeOf([&] { moveItem(folder / "missing", folder / "x"); }),
              PlatformError::Code::fileNoSuchFile);
}

TEST(FileCopy, CopiesATreeWithLinksAsLinks) {
    TemporaryDirectory folder;
    const Path source = folder / "source";
    fs::create_directories(source / "sub");
    writeFile(source / "sub" / "data.bin", vexa::testing::sampleBytes(300'000, 7, false));
    ::chmod((source / "sub" / "data.bin").c_str(), 0604);
    setModificationDate(source / "sub" / "data.bin",
                        std::chrono::system_clock::from_time_t(1'000'000'000));
    fs::create_symlink("sub/data.bin", source / "link");
    ::chmod((source / "sub").c_str(), 0750);

    copyItem(source, folder / "copy");
    EXPECT_EQ(readFile(folder / "copy" / "sub" / "data.bin"),
              readFile(source / "sub" / "data.bin"));
    EXPECT_EQ(modeOf(folder / "copy" / "sub" / "data.bin"), 0604u);
    EXPECT_EQ(modeOf(folder / "copy" / "sub"), 0750u);
    EXPECT_EQ(attributesOfItem(folder / "copy" / "sub" / "data.bin").modificationDate,
              std::chrono::system_clock::from_time_t(1'000'000'000));
    EXPECT_EQ(fs::read_symlink(folder / "copy" / "link"), "sub/data.bin");

    EXPECT_THROW(copyItem(source / "sub" / "data.bin", folder / "copy" / "link"), PlatformError);
    EXPECT_EQ(fs::read_symlink(folder / "copy" / "link"), "sub/data.bin");
}

TEST(FileRemove, NeverFollowsLinksOutOfTheFolder) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "outside" / "keep");
    writeFile(folder / "outside" / "keep" / "precious.txt", "p");
    writeFile(folder / "outside" / "file.txt", "f");
    const Path staging = folder / ".vexa-extract-X";
    fs::create_directories(staging / "a" / "b");
    writeFile(staging / "a" / "b" / "c.txt", "c");
    fs::create_symlink(folder / "outside", staging / "a" / "toFolder");
    fs::create_symlink(folder / "outside" / "file.txt", staging / "toFile");
    // Read-only folders come out of archives and must not stop the removal.
    ::chmod((staging / "a" / "b").c_str(), 0500);
    ::chmod((staging / "a").c_str(), 0500);

    removeItemIgnoringErrors(staging);
    EXPECT_FALSE(fileExists(staging));
    EXPECT_EQ(readFile(folder / "outside" / "keep" / "precious.txt"), "p");
    EXPECT_EQ(readFile(folder / "outside" / "file.txt"), "f");

    // A link given directly goes, its target stays.
    fs::create_symlink(folder / "outside", folder / "link");
    removeItemIgnoringErrors(folder / "link");
    EXPECT_FALSE(fileExists(folder / "link"));
    EXPECT_TRUE(fs::is_directory(folder / "outside" / "keep"));
}

TEST(FileRemove, IgnoresEveryError) {
    TemporaryDirectory folder;
    removeItemIgnoringErrors(folder / "missing");
    removeItemIgnoringErrors(folder / "missing" / "deeper");
    removeItemIgnoringErrors(Path());
    writeFile(folder / "f", "x");
    removeItemIgnoringErrors(folder / "f" / "below-a-file");
    EXPECT_TRUE(fileExists(folder / "f"));
    removeItemIgnoringErrors(folder / "f");
    EXPECT_FALSE(fileExists(folder / "f"));
}

TEST(FileRemove, LeavesTheHoldingFolderAsItWas) {
    TemporaryDirectory folder;
    fs::create_directory(folder / "readOnly");
    writeFile(folder / "readOnly" / "f", "x");
    ::chmod((folder / "readOnly").c_str(), 0555);
    removeItemIgnoringErrors(folder / "readOnly" / "f");
    EXPECT_EQ(modeOf(folder / "readOnly"), 0555u);
    ::chmod((folder / "readOnly").c_str(), 0755);
}

TEST(FileScopedRemoval, RemovesUnlessDismissed) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "a" / "x");
    fs::create_directories(folder / "b");
    {
        ScopedRemoval removeA(folder / "a");
        ScopedRemoval keepB(folder / "b");
        keepB.dismiss();
    }
    EXPECT_FALSE(fileExists(folder / "a"));
    EXPECT_TRUE(fileExists(folder / "b"));
}

TEST(FileUUID, VersionFourInUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = newUUIDString();
        ASSERT_EQ(uuid.size(), 36u);
        for (std::size_t index = 0; index < uuid.size(); ++index) {
            if (index == 8 || index == 13 || index == 18 || index == 23)
                EXPECT_EQ(uuid[index], '-') << uuid;
            else
                EXPECT_NE(std::string("0123456789ABCDEF").find(uuid[index]), std::string::npos)
                    << uuid;
        }
        EXPECT_EQ(uuid[14], '4') << uuid;
        EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(FileWrite, AFullDeviceIsOutOfSpace) {
    FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    if (full.get() < 0)
        GTEST_SKIP() << "no /dev/full";
    const std::string data(100, 'x');
    EXPECT_EQ(errorCodeOf([&] { writeAll(full.get(), data.data(), data.size(), "/dev/full"); }),
              PlatformError::Code::fileWriteOutOfSpace);
}

} // namespace
} // namespace vexa::files
