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
using Code = PlatformError::Code;

mode_t modeOf(const Path& location) {
    struct stat info {};
    EXPECT_EQ(::lstat(location.c_str(), &info), 0) << location;
    return info.st_mode & 07777;
}

std::optional<Code> errorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const PlatformError& error) {
        return error.code();
    }
    return std::nullopt;
}

FileTime at(std::time_t seconds) {
    return std::chrono::system_clock::from_time_t(seconds);
}

TEST(FileReplace, AReaderSeesTheOldOrTheNewFileNeverAMix) {
    TemporaryDirectory folder;
    const Path original = folder / "archive.zip";
    const std::string first(256 * 1024, 'A');
    const std::string second(192 * 1024, 'B');
    writeFile(original, first);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = readFile(original);
            torn += (seen != first && seen != second) ? 1 : 0;
            ++reads;
        }
    });
    for (int round = 0; round < 150; ++round) {
        const Path work = itemReplacementDirectory(original);
        writeFile(work / "archive.zip", round % 2 == 0 ? second : first);
        replaceItem(original, work / "archive.zip");
        EXPECT_FALSE(fileExists(work / "archive.zip"));
        removeItemIgnoringErrors(work);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(readFile(original), first);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1)
        << "a replacement folder was left beside the target";
}

TEST(FileReplace, KeepsTheOriginalsPermissions) {
    TemporaryDirectory folder;
    writeFile(folder / "a.rar", "old");
    ::chmod((folder / "a.rar").c_str(), 0640);
    FileDescriptor fd(createFile(folder / "new.rar"));
    writeAll(fd.get(), "new", 3, folder / "new.rar");
    fd.close();

    replaceItem(folder / "a.rar", folder / "new.rar");
    EXPECT_EQ(readFile(folder / "a.rar"), "new");
    EXPECT_EQ(modeOf(folder / "a.rar"), 0640u);
}

TEST(FileReplace, NewPlacesFoldersAndMissingReplacements) {
    TemporaryDirectory folder;
    writeFile(folder / "fresh", "x");
    replaceItem(folder / "target", folder / "fresh");
    EXPECT_EQ(readFile(folder / "target"), "x");

    fs::create_directories(folder / "old" / "inner");
    fs::create_directories(folder / "new");
    writeFile(folder / "new" / "kept.txt", "kept");
    replaceItem(folder / "old", folder / "new");
    EXPECT_EQ(readFile(folder / "old" / "kept.txt"), "kept");
    EXPECT_FALSE(fileExists(folder / "old" / "inner"));
    EXPECT_FALSE(fileExists(folder / "new"));

    EXPECT_EQ(errorCodeOf([&] { replaceItem(folder / "target", folder / "nothing"); }),
              Code::fileNoSuchFile);
    EXPECT_EQ(readFile(folder / "target"), "x");
}

TEST(FileReplace, ReplacementFolderIsPrivateNewAndBesideTheTarget) {
    TemporaryDirectory folder;
    const Path first = itemReplacementDirectory(folder / "out.7z");
    const Path second = itemReplacementDirectory(folder / "out.7z");
    EXPECT_NE(first, second);
    for (const Path& work : {first, second}) {
        EXPECT_EQ(fs::canonical(work.parent_path()), fs::canonical(folder.path()));
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
        EXPECT_EQ(errorCodeOf([&] { createDirectory(folder / name); }), Code::system) << name;
        EXPECT_EQ(errorCodeOf([&] { ::close(createFile(folder / name)); }), Code::system) << name;
    }
    EXPECT_FALSE(fs::exists(folder / "nowhere"));
    EXPECT_EQ(readFile(folder / "file"), "keep");

    EXPECT_EQ(errorCodeOf([&] { createDirectory(folder / "a" / "b"); }), Code::fileNoSuchFile);
    EXPECT_EQ(errorCodeOf([&] { ::close(createFile(folder / "a" / "b")); }), Code::fileNoSuchFile);
    EXPECT_FALSE(fileExists(folder / "a"));
}

TEST(FileCreate, GivesExactlyTheAskedPermissionsWhateverTheUmask) {
    TemporaryDirectory folder;
    const mode_t previous = ::umask(077);
    createDirectory(folder / "private");
    createDirectory(folder / "shared", 0755);
    FileDescriptor secret(createFile(folder / "secret"));
    FileDescriptor open(createFile(folder / "open", 0644));
    ::umask(previous);
    EXPECT_EQ(modeOf(folder / "private"), 0700u);
    EXPECT_EQ(modeOf(folder / "shared"), 0755u);
    EXPECT_EQ(modeOf(folder / "secret"), 0600u);
    EXPECT_EQ(modeOf(folder / "open"), 0644u);
}

TEST(FileAttributes, RoundTrip) {
    TemporaryDirectory folder;
    const Path file = folder / "entry.txt";
    writeFile(file, std::string(1234, 'x'));
    const FileTime date = at(1'000'000'000) + std::chrono::microseconds(123'456);
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
    // Dates before 1970 come out of old archives.
    setModificationDate(file, at(-86400));
    EXPECT_EQ(attributesOfItem(file).modificationDate, at(-86400));
    setModificationDate(folder.path(), at(86400));
    EXPECT_EQ(attributesOfItem(folder.path()).modificationDate, at(86400));
    EXPECT_EQ(attributesOfItem(folder.path()).type, FileType::directory);
}

TEST(FileAttributes, ALinkReportsItselfAndIsNeverFollowed) {
    TemporaryDirectory folder;
    writeFile(folder / "outside.txt", "x");
    ::chmod((folder / "outside.txt").c_str(), 0644);
    const FileTime targetDate = attributesOfItem(folder / "outside.txt").modificationDate;
    fs::create_symlink(folder / "outside.txt", folder / "link");

    EXPECT_EQ(attributesOfItem(folder / "link").type, FileType::symbolicLink);
    setPermissions(folder / "link", 0777);
    setModificationDate(folder / "link", at(5000));
    EXPECT_EQ(modeOf(folder / "outside.txt"), 0644u);
    EXPECT_EQ(attributesOfItem(folder / "outside.txt").modificationDate, targetDate);
    EXPECT_EQ(attributesOfItem(folder / "link").modificationDate, at(5000));

    fs::create_symlink(folder / "none", folder / "dangling");
    EXPECT_TRUE(fileExists(folder / "dangling"));
    EXPECT_FALSE(attributesIfExists(folder / "none" / "deeper").has_value());
    EXPECT_EQ(errorCodeOf([&] { attributesOfItem(folder / "none"); }), Code::fileNoSuchFile);
}

TEST(FileAttributes, ExecutableFiles) {
    TemporaryDirectory folder;
    writeFile(folder / "tool", "#!/bin/sh\n");
    ::chmod((folder / "tool").c_str(), 0755);
    writeFile(folder / "plain", "x");
    ::chmod((folder / "plain").c_str(), 0644);
    fs::create_symlink(folder / "tool", folder / "linkToTool");
    EXPECT_TRUE(isExecutableFile(folder / "tool"));
    EXPECT_TRUE(isExecutableFile(folder / "linkToTool"));
    EXPECT_FALSE(isExecutableFile(folder / "plain"));
    EXPECT_FALSE(isExecutableFile(folder.path()));
    EXPECT_FALSE(isExecutableFile(folder / "missing"));
}

TEST(FileMove, RefusesAnExistingDestinationAndMovesWholeFolders) {
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
    writeFile(folder / "staging" / "sub" / "a.txt", "a");
    EXPECT_THROW(moveItem(folder / "staging", folder / "emptyDir"), PlatformError);
    moveItem(folder / "staging", folder / "Result");
    EXPECT_EQ(readFile(folder / "Result" / "sub" / "a.txt"), "a");
    EXPECT_FALSE(fileExists(folder / "staging"));
    EXPECT_EQ(errorCodeOf([&] { moveItem(folder / "staging", folder / "x"); }),
              Code::fileNoSuchFile);
}

TEST(FilePlace, ReplacesWhatIsThereElseMovesIn) {
    TemporaryDirectory folder;
    writeFile(folder / "a.tar", "old");
    ::chmod((folder / "a.tar").c_str(), 0640);
    writeFile(folder / "work", "new");
    placeItem(folder / "work", folder / "a.tar");
    EXPECT_EQ(readFile(folder / "a.tar"), "new");
    EXPECT_EQ(modeOf(folder / "a.tar"), 0640u);
    EXPECT_FALSE(fileExists(folder / "work"));

    fs::create_directories(folder / "parts" / "sub");
    placeItem(folder / "parts", folder / "Viaje");
    EXPECT_TRUE(fileExists(folder / "Viaje" / "sub"));
    EXPECT_FALSE(fileExists(folder / "parts"));
    EXPECT_EQ(errorCodeOf([&] { placeItem(folder / "parts", folder / "b.tar"); }),
              Code::fileNoSuchFile);
}

// A work folder on another file system than the target, as when $TMPDIR is a tmpfs.
TEST(FileAcrossFileSystems, ReplaceAndMoveCopyThenDropTheSource) {
    TemporaryDirectory here;
    if (!fs::is_directory("/dev/shm") || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no second writable file system";
    TemporaryDirectory there(Path("/dev/shm"));
    if (attributesOfItem(there.path()).deviceNumber == attributesOfItem(here.path()).deviceNumber)
        GTEST_SKIP() << "/dev/shm is on the same file system";

    writeFile(here / "archive.zip", "old");
    ::chmod((here / "archive.zip").c_str(), 0640);
    writeFile(there / "archive.zip", "new");
    replaceItem(here / "archive.zip", there / "archive.zip");
    EXPECT_EQ(readFile(here / "archive.zip"), "new");
    EXPECT_EQ(modeOf(here / "archive.zip"), 0640u);
    EXPECT_FALSE(fileExists(there / "archive.zip"));

    // A folder over a folder that still has contents.
    writeFile(here / "out" / "old.txt", "old");
    writeFile(there / "out" / "new.txt", "new");
    replaceItem(here / "out", there / "out");
    EXPECT_EQ(readFile(here / "out" / "new.txt"), "new");
    EXPECT_FALSE(fileExists(here / "out" / "old.txt"));
    EXPECT_FALSE(fileExists(there / "out"));

    writeFile(there / "staging" / "sub" / "a.txt", "a");
    fs::create_symlink("sub/a.txt", there / "staging" / "link");
    moveItem(there / "staging", here / "Result");
    EXPECT_EQ(readFile(here / "Result" / "sub" / "a.txt"), "a");
    EXPECT_EQ(fs::read_symlink(here / "Result" / "link"), "sub/a.txt");
    EXPECT_FALSE(fileExists(there / "staging"));

    // Only the work folders and the results are left: no staging copy beside the targets.
    const std::set<Path> left(fs::directory_iterator(here.path()), fs::directory_iterator());
    EXPECT_EQ(left, (std::set<Path>{here / "archive.zip", here / "out", here / "Result"}));
}

TEST(FileCopy, CopiesATreeWithLinksAsLinks) {
    TemporaryDirectory folder;
    const Path source = folder / "source";
    fs::create_directories(source / "sub");
    writeFile(source / "sub" / "data.bin", vexa::testing::sampleBytes(300'000, 7, false));
    ::chmod((source / "sub" / "data.bin").c_str(), 0604);
    setModificationDate(source / "sub" / "data.bin", at(1'000'000'000));
    fs::create_symlink("sub/data.bin", source / "link");
    ::chmod((source / "sub").c_str(), 0750);

    copyItem(source, folder / "copy");
    const Path copied = folder / "copy" / "sub" / "data.bin";
    EXPECT_EQ(readFile(copied), readFile(source / "sub" / "data.bin"));
    EXPECT_EQ(modeOf(copied), 0604u);
    EXPECT_EQ(modeOf(folder / "copy" / "sub"), 0750u);
    EXPECT_EQ(attributesOfItem(copied).modificationDate, at(1'000'000'000));
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

    fs::create_symlink(folder / "outside", folder / "link");
    removeItemIgnoringErrors(folder / "link");
    EXPECT_FALSE(fileExists(folder / "link"));
    EXPECT_TRUE(fs::is_directory(folder / "outside" / "keep"));
}

TEST(FileRemove, IgnoresErrorsAndLeavesTheHoldingFolderAlone) {
    TemporaryDirectory folder;
    removeItemIgnoringErrors(folder / "missing" / "deeper");
    removeItemIgnoringErrors(Path());
    writeFile(folder / "f", "x");
    removeItemIgnoringErrors(folder / "f" / "below-a-file");
    EXPECT_TRUE(fileExists(folder / "f"));

    fs::create_directory(folder / "readOnly");
    writeFile(folder / "readOnly" / "g", "x");
    ::chmod((folder / "readOnly").c_str(), 0555);
    removeItemIgnoringErrors(folder / "readOnly" / "g");
    EXPECT_EQ(modeOf(folder / "readOnly"), 0555u);
}

TEST(FileUUID, VersionFourInUpperCaseAndFresh) {
    // "xxxxxxxx-xxxx-4xxx-Vxxx-xxxxxxxxxxxx", V one of 8, 9, A, B.
    const std::string form = "XXXXXXXX-XXXX-4XXX-VXXX-XXXXXXXXXXXX";
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = newUUIDString();
        ASSERT_EQ(uuid.size(), form.size()) << uuid;
        for (std::size_t k = 0; k < form.size(); ++k) {
            const std::string allowed = form[k] == 'X'   ? "0123456789ABCDEF"
                                        : form[k] == 'V' ? "89AB"
                                                         : std::string(1, form[k]);
            EXPECT_NE(allowed.find(uuid[k]), std::string::npos) << uuid;
        }
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
              Code::fileWriteOutOfSpace);
}

} // namespace
} // namespace vexa::files
