#include "platform/WorkFolders.h"

#include "platform/FaultInjection.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const PlatformError& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(WorkFolders, LeftoversOfKilledRunsGoWhenTheProgramNextWorksThereHeldOnesStay) {
    TemporaryDirectory folder;
    for (const char* name : {".vexa-replace-OLD", ".vexa-extract-OLD"})
        writeFile(folder / name / "big.bin", "partial");
    writeFile(folder / ".vexa-replace-FILE", "partial");
    fs::create_directories(folder / "elsewhere");
    writeFile(folder / "elsewhere" / "precious.txt", "p");
    fs::create_directory_symlink(folder / "elsewhere", folder / ".vexa-extract-LINK");
    fs::create_directory(folder / ".vexa-extract-"); // the bare prefix is no work folder
    writeFile(folder / "a.zip", "zip");

    const Path held = itemReplacementDirectory(folder / "a.zip");
    EXPECT_TRUE(isHeldWorkFolder(held));
    EXPECT_FALSE(fs::exists(folder / ".vexa-replace-OLD"));
    EXPECT_FALSE(fs::exists(folder / ".vexa-extract-OLD"));
    EXPECT_FALSE(fs::exists(folder / ".vexa-replace-FILE"));
    EXPECT_TRUE(fs::is_symlink(folder / ".vexa-extract-LINK")) << "not ours to judge: a link";
    EXPECT_EQ(readFile(folder / "elsewhere" / "precious.txt"), "p");
    EXPECT_TRUE(fs::exists(folder / ".vexa-extract-"));

    // The next work folder there keeps the one in use.
    createDirectory(folder / ".vexa-extract-NEW");
    EXPECT_TRUE(fs::is_directory(held));
    sweepLeftovers(folder.path());
    EXPECT_TRUE(fs::is_directory(held));
    EXPECT_TRUE(fs::is_directory(folder / ".vexa-extract-NEW"));

    removeItemIgnoringErrors(held);
    EXPECT_FALSE(isHeldWorkFolder(held));
    // Once moved into place the folder is the user's: it loses its lock and its privacy.
    const mode_t previous = ::umask(027);
    moveItem(folder / ".vexa-extract-NEW", folder / "a");
    ::umask(previous);
    EXPECT_FALSE(isHeldWorkFolder(folder / ".vexa-extract-NEW"));
    EXPECT_EQ(modeOf(folder / "a"), 0750u);
    fs::create_directory(folder / "plain");
    ::chmod((folder / "plain").c_str(), 0700);
    moveItem(folder / "plain", folder / "moved");
    EXPECT_EQ(modeOf(folder / "moved"), 0700u) << "only work folders change";
}

TEST(WorkFolders, MessagesNameTheUsersItemNeverAWorkFolder) {
    TemporaryDirectory folder;
    const Path work = itemReplacementDirectory(folder / "fotos.zip");
    struct Case {
        Path path;
        int errorNumber;
        std::string expected;
    };
    for (const Case& c : {
             Case{work / "archive.zip", ENOSPC,
                  "No se pudo guardar el archivo «fotos.zip» porque no hay espacio suficiente."},
             Case{folder / ".vexa-extract-X", EROFS,
                  "No se pudo guardar «" + folder.path().filename().string() +
                      "» porque el disco es de solo lectura."},
             Case{folder / ".vexa-extract-X" / "docs" / "a.txt", EIO,
                  "No se pudo guardar «a.txt» por un error de lectura o escritura del disco."},
             Case{folder / "b.7z", EACCES,
                  "No se pudo guardar «b.7z» porque no tienes permiso para escribir ahí."},
             Case{folder / "nombre", ENAMETOOLONG,
                  "No se pudo guardar «nombre» porque el nombre es demasiado largo."},
         }) {
        EXPECT_EQ(PlatformError::fromErrno(c.errorNumber, c.path.string(), true).what(), c.expected)
            << c.path;
    }
    removeItemIgnoringErrors(work);
}

TEST(WorkFolders, ReplacingThroughALinkReplacesItsFileKeepingModeAndOwner) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "real");
    for (const char* link : {"absoluto.zip", "relativo.zip"}) {
        writeFile(folder / "real" / "a.zip", "old");
        ::chmod((folder / "real" / "a.zip").c_str(), 0604);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown((folder / "real" / "a.zip").c_str(), 65534, 65534), 0);
        }
        const Path target =
            std::string(link) == "absoluto.zip" ? folder / "real" / "a.zip" : Path("real/a.zip");
        fs::create_symlink(target, folder / link);

        const Path work = itemReplacementDirectory(folder / link);
        EXPECT_EQ(fs::canonical(work.parent_path()), fs::canonical(folder / "real")) << link;
        writeFile(work / "new.zip", "new");
        replaceItem(folder / link, work / "new.zip");
        removeItemIgnoringErrors(work);

        EXPECT_TRUE(fs::is_symlink(folder / link)) << link;
        EXPECT_EQ(readFile(folder / "real" / "a.zip"), "new") << link;
        EXPECT_EQ(modeOf(folder / "real" / "a.zip"), 0604u);
        struct stat info {};
        ASSERT_EQ(::stat((folder / "real" / "a.zip").c_str(), &info), 0);
        if (::geteuid() == 0) {
            EXPECT_EQ(info.st_uid, 65534u);
            EXPECT_EQ(info.st_gid, 65534u);
        }

        // A copy of the link is a copy of the archive, not of the link.
        copyItem(folder / link, folder / "copia.zip");
        EXPECT_FALSE(fs::is_symlink(folder / "copia.zip"));
        EXPECT_EQ(readFile(folder / "copia.zip"), "new");
        fs::remove(folder / "copia.zip");
    }
}

TEST(FaultSeam, TheNthWriteOrRenameUnderTheFolderFails) {
    TemporaryDirectory folder;
    TemporaryDirectory elsewhere;
    writeFile(folder / "a.zip", "original");

    faults::arm({faults::Call::write, 2, ENOSPC, folder.path()});
    FileDescriptor outside(createFile(elsewhere / "x"));
    writeAll(outside.get(), "x", 1, elsewhere / "x");
    FileDescriptor inside(createFile(folder / "b"));
    writeAll(inside.get(), "1", 1, folder / "b");
    EXPECT_EQ(messageOf([&] { writeAll(inside.get(), "2", 1, folder / "b"); }),
              "No se pudo guardar el archivo «b» porque no hay espacio suficiente.");
    writeAll(inside.get(), "3", 1, folder / "b");
    EXPECT_EQ(faults::matchedCalls(faults::Call::write), 3);

    faults::arm({faults::Call::rename, 1, EIO, folder.path()});
    const Path work = itemReplacementDirectory(folder / "a.zip");
    writeFile(work / "new.zip", "new");
    EXPECT_EQ(messageOf([&] { replaceItem(folder / "a.zip", work / "new.zip"); }),
              "No se pudo guardar «a.zip» por un error de lectura o escritura del disco.");
    faults::disarm();
    EXPECT_EQ(readFile(folder / "a.zip"), "original");
    replaceItem(folder / "a.zip", work / "new.zip");
    EXPECT_EQ(readFile(folder / "a.zip"), "new");
    removeItemIgnoringErrors(work);
}

} // namespace
} // namespace vexa::files
