#include "WorkspaceHarness.h"
#include "platform/Bookmarks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vexa {
namespace {

using testing::WorkspaceHarness;
namespace fs = std::filesystem;

class RecentArchivesTest : public ::testing::Test {
  protected:
    WorkspaceHarness harness;

    fs::path archiveFile(const std::string& relative) {
        const auto location = harness.temporary / relative;
        fs::create_directories(location.parent_path());
        testing::writeFile(location, "PK");
        return location;
    }
    nlohmann::ordered_json stored() const {
        const auto data = harness.settings.data(WorkspaceModel::recentArchivesKey);
        if (!data)
            return nullptr;
        return nlohmann::ordered_json::parse(std::string(data->begin(), data->end()));
    }
    std::vector<std::string> names() {
        std::vector<std::string> result;
        for (const auto& recent : harness.model().recents())
            result.push_back(recent.name);
        return result;
    }
    void storeRaw(const std::string& json) {
        harness.settings.setData(WorkspaceModel::recentArchivesKey,
                                 SettingsStore::Data(json.begin(), json.end()));
    }
};

TEST_F(RecentArchivesTest, NineOpeningsKeepTheEightNewest) {
    for (int i = 1; i <= 9; ++i)
        harness.model().rememberRecent(archiveFile("a" + std::to_string(i) + ".zip"));
    EXPECT_EQ(names(), (std::vector<std::string>{"a9.zip", "a8.zip", "a7.zip", "a6.zip", "a5.zip",
                                                 "a4.zip", "a3.zip", "a2.zip"}));
    EXPECT_EQ(stored().size(), 8u);

    // The next run reads the same list back.
    const auto before = harness.model().recents();
    harness.restart();
    EXPECT_EQ(harness.model().recents(), before);
}

TEST_F(RecentArchivesTest, StoredFormWithoutAndWithFolderBookmark) {
    const auto plain = archiveFile("uno/plain.zip");
    harness.model().rememberRecent(plain);
    auto json = stored();
    ASSERT_TRUE(json.is_array());
    ASSERT_EQ(json.size(), 1u);
    std::set<std::string> keys;
    for (const auto& item : json[0].items())
        keys.insert(item.key());
    EXPECT_EQ(keys, (std::set<std::string>{"id", "name", "bookmark"}));
    const std::string id = json[0]["id"].get<std::string>();
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << id;
    EXPECT_EQ(json[0]["name"], "plain.zip");
    const auto bookmark = base64Decoded(json[0]["bookmark"].get<std::string>());
    ASSERT_TRUE(bookmark);
    EXPECT_TRUE(fs::equivalent(bookmarks::resolveBookmark(*bookmark), plain));

    const auto split = archiveFile("partes/set.zip");
    harness.model().setVolumeScope(split.parent_path());
    harness.model().rememberRecent(split);
    json = stored();
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["name"], "set.zip");
    ASSERT_TRUE(json[0].contains("folderBookmark"));
    const auto folder = base64Decoded(json[0]["folderBookmark"].get<std::string>());
    ASSERT_TRUE(folder);
    EXPECT_TRUE(fs::equivalent(bookmarks::resolveBookmark(*folder), split.parent_path()));
    EXPECT_FALSE(json[1].contains("folderBookmark"));
    EXPECT_EQ(json[0].begin().key(), "id"); // keys in field order
}

TEST_F(RecentArchivesTest, SameNameSharesOneSlotAndMovesToTheFront) {
    const auto first = archiveFile("a/report.zip");
    harness.model().rememberRecent(first);
    harness.model().rememberRecent(archiveFile("other.zip"));
    const std::string oldId = harness.model().recents()[1].id;
    const auto second = archiveFile("b/report.zip");
    harness.model().rememberRecent(second);

    EXPECT_EQ(names(), (std::vector<std::string>{"report.zip", "other.zip"}));
    const RecentArchive& front = harness.model().recents().front();
    EXPECT_NE(front.id, oldId);
    EXPECT_TRUE(fs::equivalent(bookmarks::resolveBookmark(front.bookmark), second));
}

TEST_F(RecentArchivesTest, ABookmarkThatCannotBeMadeChangesNothing) {
    harness.model().rememberRecent(archiveFile("kept.zip"));
    const auto before = harness.model().recents();
    const auto storedBefore = stored();
    harness.changes.clear();
    harness.model().rememberRecent(harness.temporary / "missing.zip");
    EXPECT_EQ(harness.model().recents(), before);
    EXPECT_EQ(stored(), storedBefore);
    EXPECT_EQ(harness.changesOf(WorkspaceField::recents), 0u);
}

TEST_F(RecentArchivesTest, AFolderThatCannotBeBookmarkedIsLeftOut) {
    harness.model().setVolumeScope(harness.temporary / "gone");
    harness.model().rememberRecent(archiveFile("x.zip"));
    ASSERT_EQ(harness.model().recents().size(), 1u);
    EXPECT_EQ(harness.model().recents().front().folderBookmark, std::nullopt);
}

// Lists written by someone else: Python's json module, as another program would store them.
TEST_F(RecentArchivesTest, ReadsListsWrittenByAnotherEncoder) {
    const auto script =
        "import json, base64\n"
        "print(json.dumps([{'name': 'b.7z', 'extra': 1, 'bookmark': "
        "base64.b64encode(b'\\x00\\x01\\xfe').decode(), 'id': "
        "'e621e1f8-c36c-495a-93fc-0c247a3e6e5f', 'folderBookmark': "
        "base64.b64encode(b'ab').decode()}, {'id': '6F9619FF-8B86-D011-B42D-00C04FC964FF', "
        "'name': 'c.rar', 'bookmark': ''}]))\n";
    const auto json = testing::runChecked("python3 -c " + testing::shellQuote(script));
    storeRaw(json);
    harness.restart();
    const auto& recents = harness.model().recents();
    ASSERT_EQ(recents.size(), 2u);
    EXPECT_EQ(recents[0].id, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(recents[0].name, "b.7z");
    EXPECT_EQ(recents[0].bookmark, (RecentArchive::Data{0x00, 0x01, 0xfe}));
    EXPECT_EQ(recents[0].folderBookmark, (RecentArchive::Data{'a', 'b'}));
    EXPECT_EQ(recents[1].name, "c.rar");
    EXPECT_TRUE(recents[1].bookmark.empty());
    EXPECT_EQ(recents[1].folderBookmark, std::nullopt);
}

TEST_F(RecentArchivesTest, CorruptStoredListsAreIgnored) {
    const std::vector<std::string> corrupt = {
        "no es JSON",
        "{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\"}",
        "[{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", \"name\": \"a.zip\"}]",
        "[{\"id\": \"no-uuid\", \"name\": \"a.zip\", \"bookmark\": \"AAEC\"}]",
        "[{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", \"name\": \"a.zip\", "
        "\"bookmark\": \"A*EC\"}]",
        "[{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", \"name\": 7, \"bookmark\": \"\"}]",
        "[{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", \"name\": \"a.zip\", "
        "\"bookmark\": \"\", \"folderBookmark\": \"AB=C\"}]",
        // One bad element spoils the whole list.
        "[{\"id\": \"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\", \"name\": \"a.zip\", "
        "\"bookmark\": \"\"}, {\"name\": \"b.zip\"}]",
    };
    for (const auto& text : corrupt) {
        storeRaw(text);
        harness.restart();
        EXPECT_TRUE(harness.model().recents().empty()) << text;
    }
    // The next successful open overwrites the bad data.
    harness.model().rememberRecent(archiveFile("nuevo.zip"));
    harness.restart();
    EXPECT_EQ(names(), std::vector<std::string>{"nuevo.zip"});
}

TEST(Base64Test, MatchesPythonForEveryTailLength) {
    // Python writes the expected text of 0 to 7 bytes 0x80, 0x91, ... one per line.
    const auto lines = testing::runChecked(
        "python3 -c \"import base64\nfor n in range(8): "
        "print(base64.b64encode(bytes(0x80 + 17 * i for i in range(n))).decode())\"");
    std::istringstream expected(lines);
    for (std::size_t length = 0; length <= 7; ++length) {
        RecentArchive::Data data;
        for (std::size_t i = 0; i < length; ++i)
            data.push_back(static_cast<std::uint8_t>(0x80 + 17 * i));
        std::string text;
        std::getline(expected, text);
        EXPECT_EQ(base64Encoded(data), text) << length;
        EXPECT_EQ(base64Decoded(text), data) << length;
    }
    EXPECT_EQ(base64Decoded("AAE"), std::nullopt);
    EXPECT_EQ(base64Decoded("A==="), std::nullopt);
    EXPECT_EQ(base64Decoded("AA==AAAA"), std::nullopt);
}

} // namespace
} // namespace vexa

namespace vexa {
namespace {

TEST(ResolveRecentTest, GivesTheArchiveAndAnAccessibleFolder) {
    testing::WorkspaceHarness harness;
    const auto folder = harness.temporary / "partes";
    std::filesystem::create_directory(folder);
    const auto archive = folder / "set.zip";
    testing::writeFile(archive, "PK");
    harness.model().setVolumeScope(folder);
    harness.model().rememberRecent(archive);
    const RecentArchive recent = harness.model().recents().front();

    const auto before = bookmarks::openAccess();
    const auto resolved = harness.model().resolveRecent(recent);
    ASSERT_TRUE(resolved);
    EXPECT_TRUE(std::filesystem::equivalent(resolved->archive, archive));
    ASSERT_TRUE(resolved->folder);
    EXPECT_TRUE(std::filesystem::equivalent(*resolved->folder, folder));
    EXPECT_NE(bookmarks::openAccess(), before); // the caller now holds the folder's access
    bookmarks::stopAccessing(*resolved->folder);

    // A folder that is gone is left out; the archive still opens.
    RecentArchive withoutFolder = recent;
    withoutFolder.folderBookmark = RecentArchive::Data{1, 2, 3};
    const auto partial = harness.model().resolveRecent(withoutFolder);
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->folder, std::nullopt);
    EXPECT_EQ(harness.model().errorMessage(), std::nullopt);
}

TEST(ResolveRecentTest, AnArchiveThatIsGoneIsReported) {
    testing::WorkspaceHarness harness;
    const auto archive = harness.temporary / "borrado.zip";
    testing::writeFile(archive, "PK");
    harness.model().rememberRecent(archive);
    std::filesystem::remove(archive);
    EXPECT_EQ(harness.model().resolveRecent(harness.model().recents().front()), std::nullopt);
    EXPECT_EQ(harness.model().errorMessage(),
              "No se pudo recuperar el acceso. Abre el archivo de nuevo desde el selector de "
              "archivos.");
    EXPECT_EQ(harness.model().recents().size(), 1u); // the entry stays
}

} // namespace
} // namespace vexa
