#include "core/archive/ExtractionPaths.h"

#include "platform/TextRules.h"
#include "tests/core/SampleItems.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vexa {
namespace {

using testing::file;
using testing::folder;

using NameMap = std::map<std::string, std::string>;

// What a case-insensitive, normalising file system would make of the disk paths.
void expectNoTwoLandTogether(const NameMap& names) {
    std::map<std::string, std::string> byDiskKey;
    for (const auto& [entry, disk] : names) {
        if (disk.empty())
            continue;
        const std::string key = text::lowercased(text::nfc(disk));
        const auto [it, inserted] = byDiskKey.emplace(key, entry);
        EXPECT_TRUE(inserted) << entry << " and " << it->second << " both land on " << disk;
    }
}

TEST(JavaExtractionPaths, NamesThatDifferOnlyInCaseGetNumberedCopies) {
    struct Row {
        std::vector<ArchiveItem> entries;
        NameMap expected;
    };
    const std::vector<Row> rows = {
        {{file("read.me"), file("Read.me")}, {{"Read.me", "Read.me"}, {"read.me", "read (2).me"}}},
        {{file("readme"), file("README")}, {{"README", "README"}, {"readme", "readme (2)"}}},
        {{folder("Docs/"), file("docs/a.txt")},
         {{"Docs/", "Docs"}, {"docs/a.txt", "docs (2)/a.txt"}}},
        // A numbered folder passes its name on to everything below it.
        {{file("A/x/1.class"), file("a/y/2.class"), file("a/y/3.class")},
         {{"A/x/1.class", "A/x/1.class"},
          {"a/y/2.class", "a (2)/y/2.class"},
          {"a/y/3.class", "a (2)/y/3.class"}}},
        // A numbered name already used by a real entry is skipped, not overwritten.
        {{file("a.txt"), file("A.txt"), file("a (2).txt")},
         {{"A.txt", "A.txt"}, {"a (2).txt", "a (2).txt"}, {"a.txt", "a (3).txt"}}},
        {{file("x.tar.gz"), file("X.tar.gz")},
         {{"X.tar.gz", "X.tar.gz"}, {"x.tar.gz", "x.tar (2).gz"}}},
        {{folder("dir/"), file("dir/f")}, {{"dir/", "dir"}, {"dir/f", "dir/f"}}},
        {{file("f"), file("F"), file("f ")}, {{"F", "F"}, {"f", "f (2)"}, {"f ", "f "}}},
    };
    for (const auto& row : rows) {
        const NameMap names = javaExtractionPaths(row.entries);
        EXPECT_EQ(names, row.expected);
        expectNoTwoLandTogether(names);
    }
}

TEST(JavaExtractionPaths, NormalisationVariantsDoNotShareAFile) {
    const std::string precomposed = "\xC3\x81.txt"; // "Á.txt"
    const std::string decomposed = "A\xCC\x81.txt";
    const NameMap names = javaExtractionPaths({file(precomposed), file(decomposed)});
    // Byte order puts the decomposed spelling first, so it keeps its name.
    EXPECT_EQ(names.at(decomposed), decomposed);
    EXPECT_EQ(names.at(precomposed), "\xC3\x81 (2).txt");
    expectNoTwoLandTogether(names);
}

TEST(JavaExtractionPaths, ManyCollidingNamesStayApart) {
    std::vector<ArchiveItem> entries;
    for (const char* name : {"abc.txt", "Abc.txt", "aBc.txt", "abC.txt", "ABC.txt", "ABc.txt"}) {
        entries.push_back(file(std::string("META-INF/") + name));
        entries.push_back(file(std::string("meta-inf/") + name));
    }
    const NameMap names = javaExtractionPaths(entries);
    EXPECT_EQ(names.size(), entries.size());
    expectNoTwoLandTogether(names);
}

TEST(UniqueExtractionPath, RemembersWhatItPlaced) {
    PlacedPaths placed{{"", ""}};
    TakenNames taken;
    EXPECT_EQ(uniqueExtractionPath("Lib/a", placed, taken), "Lib/a");
    EXPECT_EQ(uniqueExtractionPath("lib/a", placed, taken), "lib (2)/a");
    EXPECT_EQ(uniqueExtractionPath("lib/a", placed, taken), "lib (2)/a");
    EXPECT_EQ(uniqueExtractionPath("Lib/A", placed, taken), "Lib/A (2)");
    EXPECT_EQ(placed.at("lib"), "lib (2)");
    EXPECT_EQ(taken.at("lib (2)/a"), "lib/a");
    // A map that was not seeded with the empty path still treats it as the root.
    PlacedPaths fresh;
    TakenNames freshTaken;
    EXPECT_EQ(uniqueExtractionPath("x/y", fresh, freshTaken), "x/y");
}

TEST(JavaItemExtractionPaths, AFolderItemPlacesItsContentsRelativeToIt) {
    const ArchiveItem selected = folder("lib/");
    const NameMap names = javaItemExtractionPaths(
        {file("lib/b/A.class"), selected, file("lib/b/a.class"), file("lib/c.txt")}, selected,
        "lib/");
    const NameMap expected = {{"lib/", ""},
                              {"lib/b/A.class", "b/A.class"},
                              {"lib/b/a.class", "b/a (2).class"},
                              {"lib/c.txt", "c.txt"}};
    EXPECT_EQ(names, expected);
}

TEST(JavaItemExtractionPaths, APrefixWithAccentsIsCutAtCharacters) {
    const ArchiveItem selected = folder("año/");
    const NameMap names =
        javaItemExtractionPaths({selected, file("año/X"), file("año/x")}, selected, "año/");
    const NameMap expected = {{"año/", ""}, {"año/X", "X"}, {"año/x", "x (2)"}};
    EXPECT_EQ(names, expected);
}

TEST(JavaItemExtractionPaths, AFileItemWritesToThePayloadItself) {
    const ArchiveItem selected = file("lib/c.txt");
    const NameMap names = javaItemExtractionPaths({selected}, selected, "lib/c.txt/");
    EXPECT_EQ(names, (NameMap{{"lib/c.txt", ""}}));
}

} // namespace
} // namespace vexa
