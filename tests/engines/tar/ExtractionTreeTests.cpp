#include "engines/tar/ExtractionTree.h"
#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa::tar {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

TEST(ExtractionTreeTest, NeverWritesThroughALinkInsideTheRoot) {
    TemporaryDirectory dir;
    fs::create_directory(dir / "root");
    fs::create_directory(dir / "outside");
    fs::create_directory_symlink(dir / "outside", dir / "root/link");
    fs::create_symlink(dir / "outside/target.txt", dir / "root/file-link");
    ExtractionTree tree(dir / "root");
    fs::path location;
    EXPECT_THROW(tree.makeFolders("link/x/"), PlatformError);
    EXPECT_THROW(tree.createFile("link/x.txt", location), PlatformError);
    EXPECT_THROW(tree.createFile("file-link", location), PlatformError);
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

} // namespace
} // namespace vexa::tar
