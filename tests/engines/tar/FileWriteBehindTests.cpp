#include "TarFixtures.h"
#include "engines/tar/FileWriteBehind.h"
#include "platform/FileOperations.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace testing::tar;
using vexa::tar::FileWriteBehind;

// The blocks reach the file whole and in order, and the length heard last is the file's once
// finish() returns; a file that refuses the bytes fails the maker's next call.
TEST(FileWriteBehind, BlocksArriveInOrderAndFailuresReachTheMaker) {
    TemporaryDirectory folder;
    const std::string bytes = sampleBytes(100000, 4, false);
    {
        files::FileDescriptor file(files::createFile(folder / "out", 0644));
        std::atomic<std::int64_t> heard{0};
        FileWriteBehind behind(file.get(), folder / "out", 1000, 3,
                               [&](std::int64_t length) { heard = length; });
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t length = std::min<std::size_t>(1 + at % 7 * 142, bytes.size() - at);
            std::memcpy(behind.block(), bytes.data() + at, length);
            behind.hand(length);
            at += length;
        }
        behind.finish();
        EXPECT_EQ(behind.length(), static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(heard.load(), behind.length());
    }
    EXPECT_EQ(readFile(folder / "out"), bytes);

    writeFile(folder / "solo-lectura", "");
    files::FileDescriptor readOnly(::open((folder / "solo-lectura").c_str(), O_RDONLY));
    FileWriteBehind behind(readOnly.get(), folder / "solo-lectura", 10, 2);
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i)
                behind.hand(std::strlen(std::strcpy(behind.block(), "bloque")));
            behind.finish();
        },
        PlatformError);
}

} // namespace
} // namespace vexa
