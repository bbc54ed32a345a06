#include "platform/PlatformError.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace vexa {
namespace {

struct ErrnoCase {
    int errorNumber;
    bool writing;
    PlatformError::Code code;
};

TEST(PlatformError, ErrnoMapsToTheClosestCode) {
    using Code = PlatformError::Code;
    for (const ErrnoCase& c :
         {ErrnoCase{ENOENT, false, Code::fileNoSuchFile},
          ErrnoCase{ENOTDIR, false, Code::fileNoSuchFile},
          ErrnoCase{EACCES, false, Code::fileReadNoPermission},
          ErrnoCase{EPERM, false, Code::fileReadNoPermission},
          ErrnoCase{EACCES, true, Code::system}, ErrnoCase{ENOSPC, true, Code::fileWriteOutOfSpace},
          ErrnoCase{EDQUOT, true, Code::fileWriteOutOfSpace},
          ErrnoCase{EIO, false, Code::system}}) {
        const PlatformError error = PlatformError::fromErrno(c.errorNumber, "/d/a.zip", c.writing);
        EXPECT_EQ(error.code(), c.code) << c.errorNumber;
        EXPECT_EQ(error.errorNumber(), c.errorNumber);
        EXPECT_EQ(error.path(), "/d/a.zip");
    }
}

TEST(PlatformError, DescriptionsWithoutAFileName) {
    using Code = PlatformError::Code;
    // A folder given with its trailing slash still names the folder; no path names nothing.
    EXPECT_STREQ(PlatformError(Code::fileNoSuchFile, "/d/partes/").what(),
                 "El archivo «partes» no existe.");
    EXPECT_STREQ(PlatformError(Code::fileReadUnknown, "").what(), "No se pudo leer el archivo.");
}

} // namespace
} // namespace vexa
