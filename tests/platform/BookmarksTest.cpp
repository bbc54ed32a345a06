#include "platform/Bookmarks.h"

#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

PlatformError::Code resolveFailure(const bookmarks::Data& data) {
    try {
        bookmarks::resolveBookmark(data);
    } catch (const PlatformError& error) {
        return error.code();
    }
    ADD_FAILURE() << "the bookmark resolved";
    return PlatformError::Code::system;
}

TEST(Bookmarks, ResolveToTheBookmarkedItem) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "fotos.zip", "x");
    fs::create_directories(folder / "partes");
    // A name that is not UTF-8 is still a valid file name here.
    const fs::path odd = folder / std::string("ca\xf1o.rar");
    testing::writeFile(odd, "x");
    for (const fs::path& item : {folder / "fotos.zip", folder / "partes", odd})
        EXPECT_EQ(bookmarks::resolveBookmark(bookmarks::bookmarkData(item)), item) << item;
}

TEST(Bookmarks, RelativeLocationsAreMadeAbsolute) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "a.zip", "x");
    const fs::path before = fs::current_path();
    fs::current_path(folder.path());
    const auto data = bookmarks::bookmarkData("./sub/../a.zip");
    fs::current_path(before);
    EXPECT_EQ(bookmarks::resolveBookmark(data), folder / "a.zip");
}

TEST(Bookmarks, FailOnceTheItemIsGone) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "deleted.zip", "x");
    testing::writeFile(folder / "moved.zip", "x");
    fs::create_directories(folder / "volumes");
    const auto deleted = bookmarks::bookmarkData(folder / "deleted.zip");
    const auto moved = bookmarks::bookmarkData(folder / "moved.zip");
    const auto folderMark = bookmarks::bookmarkData(folder / "volumes");
    fs::remove(folder / "deleted.zip");
    fs::rename(folder / "moved.zip", folder / "elsewhere.zip");
    fs::remove(folder / "volumes");
    EXPECT_EQ(resolveFailure(deleted), PlatformError::Code::fileNoSuchFile);
    EXPECT_EQ(resolveFailure(moved), PlatformError::Code::fileNoSuchFile);
    EXPECT_EQ(resolveFailure(folderMark), PlatformError::Code::fileNoSuchFile);
}

TEST(Bookmarks, SurviveTheReplacementOfAnEditedArchive) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "a.zip", "old");
    const auto data = bookmarks::bookmarkData(folder / "a.zip");
    // Edits write a new file and rename it over the old one: a new inode at the same path.
    testing::writeFile(folder / "new.zip", "new");
    fs::rename(folder / "new.zip", folder / "a.zip");
    EXPECT_EQ(bookmarks::resolveBookmark(data), folder / "a.zip");
}

TEST(Bookmarks, MissingItemsCannotBeBookmarked) {
    TemporaryDirectory folder;
    EXPECT_THROW(bookmarks::bookmarkData(folder / "nothing.zip"), PlatformError);
}

TEST(Bookmarks, UnreadableDataFails) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "a.zip", "x");
    const auto good = bookmarks::bookmarkData(folder / "a.zip");
    auto truncated = bookmarks::Data(good.begin(), good.begin() + 10);
    auto wrongMagic = good;
    wrongMagic[0] ^= 0xFF;
    auto withNul = good;
    withNul.insert(withNul.end() - 2, 0);
    const std::string relative = "VXBM1xxxxxxxxxxxxxxxxa.zip";
    for (const auto& data : {bookmarks::Data{}, truncated, wrongMagic, withNul,
                             bookmarks::Data(relative.begin(), relative.end())})
        EXPECT_THROW(bookmarks::resolveBookmark(data), PlatformError);
}

class Access : public ::testing::Test {
  protected:
    void SetUp() override { bookmarks::resetAccessCounts(); }
    void TearDown() override { bookmarks::resetAccessCounts(); }
};

TEST_F(Access, BalancedStartsAndStopsLeaveNothingOpen) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "a.zip", "x");
    ASSERT_TRUE(bookmarks::startAccessing(folder / "a.zip"));
    ASSERT_TRUE(bookmarks::startAccessing(folder.path()));
    ASSERT_TRUE(bookmarks::startAccessing(folder / "a.zip"));
    EXPECT_EQ(bookmarks::openAccess().size(), 2u);
    bookmarks::stopAccessing(folder / "a.zip");
    bookmarks::stopAccessing(folder / "a.zip");
    bookmarks::stopAccessing(folder.path());
    EXPECT_TRUE(bookmarks::openAccess().empty());
    EXPECT_EQ(bookmarks::accessCounts().starts, 3);
    EXPECT_EQ(bookmarks::accessCounts().stops, 3);
}

TEST_F(Access, ForgottenStopsAndExtraStopsAreReported) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "kept.zip", "x");
    testing::writeFile(folder / "other.zip", "x");
    bookmarks::startAccessing(folder / "kept.zip");
    bookmarks::stopAccessing(folder / "other.zip");
    const auto open = bookmarks::openAccess();
    EXPECT_EQ(open, (std::map<fs::path, std::int64_t>{{folder / "kept.zip", 1},
                                                      {folder / "other.zip", -1}}));
}

TEST_F(Access, MissingItemsDoNotStartAndAreNotCounted) {
    TemporaryDirectory folder;
    EXPECT_FALSE(bookmarks::startAccessing(folder / "missing.zip"));
    EXPECT_EQ(bookmarks::accessCounts().starts, 0);
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

TEST_F(Access, SpellingsOfOneLocationAreOneLocation) {
    TemporaryDirectory folder;
    fs::create_directories(folder / "parts");
    ASSERT_TRUE(bookmarks::startAccessing(folder.path().string() + "/parts/"));
    bookmarks::stopAccessing(folder.path().string() + "/./x/../parts");
    EXPECT_TRUE(bookmarks::openAccess().empty());
}

} // namespace
} // namespace vexa
