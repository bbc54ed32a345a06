#include "core/archive/FolderNames.h"

#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace vexa {
namespace {

using testing::TemporaryDirectory;
using testing::writeFile;

TEST(FolderChildNames, ListsHiddenChildrenButNotTheDotEntries) {
    TemporaryDirectory dir;
    writeFile(dir / "a.txt", "a");
    writeFile(dir / ".oculto", "");
    writeFile(dir / "._a.txt", "");
    std::filesystem::create_directory(dir / "sub");
    writeFile(dir / "sub/deeper.txt", "");
    std::vector<std::string> names = folderChildNames(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"._a.txt", ".oculto", "a.txt", "sub"}));
    EXPECT_EQ(folderChildNames(dir / "sub"), std::vector<std::string>{"deeper.txt"});
}

TEST(FolderChildNames, UnreadableOrMissingFolderThrows) {
    TemporaryDirectory dir;
    writeFile(dir / "file", "x");
    EXPECT_THROW(folderChildNames(dir / "no-existe"), PlatformError);
    EXPECT_THROW(folderChildNames(dir / "file"), PlatformError);
}

} // namespace
} // namespace vexa
