#include "platform/SettingsStore.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;

SettingsStore::Data allByteValues() {
    SettingsStore::Data data;
    for (int i = 0; i < 256; ++i)
        data.push_back(static_cast<std::uint8_t>(255 - i));
    return data;
}

TEST(SettingsStore, ValuesSurviveANewStore) {
    TemporaryDirectory folder;
    const fs::path file = folder / "config/vexa/settings.json"; // folders made on first write
    const std::string json = R"([{"id":"1","name":"año.zip","bookmark":"AAE="}])";
    {
        SettingsStore store(file);
        store.setData("recentArchives", SettingsStore::Data(json.begin(), json.end()));
        store.setData("rarExecutableBookmark", allByteValues());
        store.setString("appearance", "oscuro ñ");
    }
    SettingsStore reread(file);
    const auto recents = reread.data("recentArchives");
    ASSERT_TRUE(recents);
    EXPECT_EQ(std::string(recents->begin(), recents->end()), json);
    EXPECT_EQ(reread.data("rarExecutableBookmark"), allByteValues());
    EXPECT_EQ(reread.string("appearance"), "oscuro ñ");
    EXPECT_EQ(reread.data("missing"), std::nullopt);
}

TEST(SettingsStore, EveryDataLengthRoundTrips) {
    // Lengths around the three-byte groups of the stored text form.
    TemporaryDirectory folder;
    for (std::size_t length = 0; length <= 7; ++length) {
        SettingsStore::Data value(length);
        for (std::size_t i = 0; i < length; ++i)
            value[i] = static_cast<std::uint8_t>(0xF0 + i);
        SettingsStore(folder / "settings.json").setData("key", value);
        EXPECT_EQ(SettingsStore(folder / "settings.json").data("key"), value) << length;
    }
}

TEST(SettingsStore, DataAndTextAreDifferentKinds) {
    TemporaryDirectory folder;
    SettingsStore store(folder / "settings.json");
    store.setString("appearance", "claro");
    store.setData("bookmark", {1, 2});
    EXPECT_EQ(store.data("appearance"), std::nullopt);
    EXPECT_EQ(store.string("bookmark"), std::nullopt);
    store.setData("appearance", {7}); // a key takes the kind of its last value
    EXPECT_EQ(store.data("appearance"), SettingsStore::Data{7});
    EXPECT_EQ(store.string("appearance"), std::nullopt);
}

TEST(SettingsStore, RemovedKeysStayRemoved) {
    TemporaryDirectory folder;
    {
        SettingsStore store(folder / "settings.json");
        store.setString("appearance", "claro");
        store.setString("other", "x");
        store.remove("appearance");
        store.remove("never-there");
    }
    SettingsStore reread(folder / "settings.json");
    EXPECT_EQ(reread.string("appearance"), std::nullopt);
    EXPECT_EQ(reread.string("other"), "x");
}

TEST(SettingsStore, FileIsPlainJsonForOtherReaders) {
    TemporaryDirectory folder;
    SettingsStore store(folder / "settings.json");
    store.setData("rarExecutableBookmark", allByteValues());
    store.setString("appearance", "oscuro");
    const std::string check =
        "import json,base64,sys\n"
        "d=json.load(open(sys.argv[1]))\n"
        "b=base64.b64decode(d['rarExecutableBookmark']['data'], validate=True)\n"
        "assert b==bytes(range(255,-1,-1)), b\n"
        "assert d['appearance']=='oscuro'\n";
    testing::runChecked("python3 -c " + testing::shellQuote(check) + " " +
                        testing::shellQuote((folder / "settings.json").string()));
}

TEST(SettingsStore, ReadsAFileWrittenByAnotherWriter) {
    TemporaryDirectory folder;
    const std::string write =
        "import json,base64,sys\n"
        "json.dump({'recentArchives':{'data':base64.b64encode(b'[]\\x00\\xff')"
        ".decode()},'appearance':'claro','unknown':[1,2]},open(sys.argv[1],'w'))\n";
    testing::runChecked("python3 -c " + testing::shellQuote(write) + " " +
                        testing::shellQuote((folder / "settings.json").string()));
    SettingsStore store(folder / "settings.json");
    EXPECT_EQ(store.data("recentArchives"), (SettingsStore::Data{'[', ']', 0x00, 0xFF}));
    EXPECT_EQ(store.string("appearance"), "claro");
    EXPECT_EQ(store.string("unknown"), std::nullopt);
}

struct DamagedFile {
    const char* name;
    const char* content;
};

class SettingsStoreDamaged : public ::testing::TestWithParam<DamagedFile> {};

TEST_P(SettingsStoreDamaged, IsIgnoredAndThenReplaced) {
    TemporaryDirectory folder;
    const fs::path file = folder / "settings.json";
    testing::writeFile(file, GetParam().content);
    std::optional<SettingsStore> store;
    ASSERT_NO_THROW(store.emplace(file));
    EXPECT_EQ(store->data("recentArchives"), std::nullopt);
    EXPECT_EQ(store->string("appearance"), std::nullopt);
    store->setString("appearance", "claro");
    EXPECT_EQ(SettingsStore(file).string("appearance"), "claro");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsStoreDamaged,
    ::testing::Values(
        DamagedFile{"empty", ""}, DamagedFile{"garbage", "\x01\x02not json at all"},
        DamagedFile{"truncated", R"({"appearance": "cla)"},
        DamagedFile{"array", R"(["appearance", "claro"])"},
        DamagedFile{"wrongShapes", R"({"appearance": 5, "recentArchives": {"data": 12}})"},
        DamagedFile{"badBase64", R"({"recentArchives": {"data": "AB=C"}})"},
        DamagedFile{"shortBase64", R"({"recentArchives": {"data": "QUJD="}})"},
        DamagedFile{"extraMember", R"({"recentArchives": {"data": "QUJD", "x": 1}})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsStore, GoodValuesBesideADamagedOneAreKept) {
    TemporaryDirectory folder;
    testing::writeFile(folder / "settings.json",
                       R"({"appearance": "claro", "recentArchives": {"data": "!!!!"}})");
    SettingsStore store(folder / "settings.json");
    EXPECT_EQ(store.string("appearance"), "claro");
    EXPECT_EQ(store.data("recentArchives"), std::nullopt);
}

TEST(SettingsStore, UnwritableLocationIsNotFatal) {
    TemporaryDirectory folder;
    // A folder where the file should be: it can be neither read nor replaced.
    fs::create_directories(folder / "settings.json");
    SettingsStore store(folder / "settings.json");
    EXPECT_NO_THROW(store.setString("appearance", "claro"));
    EXPECT_EQ(store.string("appearance"), "claro"); // kept for this run
    // A file where the folder should be.
    testing::writeFile(folder / "blocker", "x");
    SettingsStore blocked(folder / "blocker/vexa/settings.json");
    EXPECT_NO_THROW(blocked.setData("recentArchives", {1}));
}

TEST(SettingsStore, WritesLeaveNoTemporaryFiles) {
    TemporaryDirectory folder;
    SettingsStore store(folder / "settings.json");
    for (int i = 0; i < 5; ++i)
        store.setString("count", std::to_string(i));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"settings.json"});
    EXPECT_EQ(SettingsStore(folder / "settings.json").string("count"), "4");
}

TEST(SettingsStore, ConcurrentWritersLoseNoKey) {
    TemporaryDirectory folder;
    SettingsStore store(folder / "settings.json");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                store.setString("k" + std::to_string(t) + "-" + std::to_string(i), "v");
        });
    for (auto& writer : writers)
        writer.join();
    SettingsStore reread(folder / "settings.json");
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(reread.string("k" + std::to_string(t) + "-" + std::to_string(i)), "v");
}

// Each running copy of the program holds its own store of the same file.
TEST(SettingsStore, TwoRunningCopiesKeepEachOthersKeys) {
    TemporaryDirectory folder;
    const fs::path file = folder / "settings.json";
    SettingsStore first(file);
    SettingsStore second(file);
    first.setData("rarExecutableBookmark", {1, 2, 3});
    second.setString("appearance", "oscuro");
    second.setData("recentArchives", {4});
    first.remove("recentArchives");
    SettingsStore reread(file);
    EXPECT_EQ(reread.data("rarExecutableBookmark"), (SettingsStore::Data{1, 2, 3}));
    EXPECT_EQ(reread.string("appearance"), "oscuro");
    EXPECT_EQ(reread.data("recentArchives"), std::nullopt);
}

// Restores one environment variable when the test ends.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsStoreDefaultFile, FollowsTheXdgRules) {
    ScopedEnvironment home("HOME", "/home/ana");
    {
        ScopedEnvironment xdg("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(SettingsStore::defaultFile(), fs::path("/srv/conf/vexa/settings.json"));
    }
    for (const char* ignored : {"", "relative/conf"}) {
        ScopedEnvironment xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(SettingsStore::defaultFile(), fs::path("/home/ana/.config/vexa/settings.json"))
            << ignored;
    }
    ScopedEnvironment unset("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(SettingsStore::defaultFile(), fs::path("/home/ana/.config/vexa/settings.json"));
}

} // namespace
} // namespace vexa
