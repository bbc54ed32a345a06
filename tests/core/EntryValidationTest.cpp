#include "core/archive/EntryValidation.h"

#include "core/archive/ArchiveFailure.h"
#include "tests/core/SampleItems.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace vexa {
namespace {

using testing::file;
using testing::folder;

std::optional<ArchiveFailure> failureOf(const std::vector<ArchiveItem>& entries) {
    try {
        validateEntries(entries);
    } catch (const ArchiveFailure& failure) {
        return failure;
    }
    return std::nullopt;
}

const std::string precomposed = "\xC3\x81.txt"; // "Á.txt"
const std::string decomposed = "A\xCC\x81.txt"; // "A" + combining acute

TEST(EntryValidation, RefusesPathsThatCouldLeaveTheDestination) {
    const std::vector<std::string> unsafe = {
        "",    "/a",     "/",      "a\\b",  "..\\a", "a:b", "C:/x", std::string("a\0b", 3),
        "..",  "a/../b", "a/..",   "./a",   "a/./b", "a/.", ".",    "a//b",
        "a//", "//a",    "a/b//c", "../x/",
    };
    for (const auto& path : unsafe) {
        const auto failure = failureOf({file("ok.txt"), file(path)});
        ASSERT_TRUE(failure) << path;
        EXPECT_EQ(*failure, ArchiveFailure::unsafePath(path)) << path;
    }
}

TEST(EntryValidation, AcceptsOrdinaryNames) {
    const std::vector<ArchiveItem> entries = {
        folder("a/"), folder("a/b/"),  file("a/b/c.txt"), file("x/y/z.txt"),     file("...txt"),
        file("..a"),  file(".hidden"), file("a b/ c "),   file("año/ñandú.txt"), file("a/.b"),
    };
    EXPECT_EQ(failureOf(entries), std::nullopt);
    EXPECT_EQ(failureOf({}), std::nullopt);
}

TEST(EntryValidation, RefusesNamesThatLandOnTheSameFile) {
    struct Row {
        std::vector<ArchiveItem> entries;
        std::string offending;
    };
    const std::vector<Row> rows = {
        {{file("A.txt"), file("a.txt")}, "a.txt"},
        {{file("a.txt"), file("A.TXT")}, "A.TXT"},
        {{file(precomposed), file(decomposed)}, decomposed},
        {{file(decomposed), file(precomposed)}, precomposed},
        {{folder("a/"), file("a")}, "a"},
        {{file("a"), folder("a/")}, "a/"},
        {{file("dir/x"), file("DIR/X")}, "DIR/X"},
        {{file("ÑANDÚ"), file("ñandú")}, "ñandú"},
        {{file("x"), file("y"), file("x")}, "x"},
    };
    for (const auto& row : rows) {
        const auto failure = failureOf(row.entries);
        ASSERT_TRUE(failure) << row.offending;
        EXPECT_EQ(*failure, ArchiveFailure::duplicate(row.offending));
    }
}

TEST(EntryValidation, RefusesAFileWhereAnotherEntryNeedsAFolder) {
    struct Row {
        std::vector<ArchiveItem> entries;
        std::string offending;
    };
    const std::vector<Row> rows = {
        {{file("a"), file("a/b.txt")}, "a/b.txt"},
        // The entry below comes first: the check runs after every name is known.
        {{file("a/b.txt"), file("a")}, "a/b.txt"},
        {{file("A"), file("a/b/c.txt")}, "a/b/c.txt"},
        {{file("a/b"), file("a/b/c/d.txt")}, "a/b/c/d.txt"},
        {{file(precomposed), file(decomposed + "/x")}, decomposed + "/x"},
        // Entries of one folder share their folders' check.
        {{file("c/d.txt"), file("a/b/x.txt"), file("a/b/y.txt"), file("a/B")}, "a/b/x.txt"},
    };
    for (const auto& row : rows) {
        const auto failure = failureOf(row.entries);
        ASSERT_TRUE(failure) << row.offending;
        EXPECT_EQ(*failure, ArchiveFailure::duplicate(row.offending));
    }
    EXPECT_EQ(failureOf({folder("a/"), file("a/b.txt")}), std::nullopt);
    EXPECT_EQ(failureOf({file("a/b.txt"), folder("A/")}), std::nullopt);
}

TEST(EntryValidation, StopsAtTheFirstProblemInListingOrder) {
    EXPECT_EQ(*failureOf({file("a"), file("A"), file("/etc/passwd")}),
              ArchiveFailure::duplicate("A"));
    EXPECT_EQ(*failureOf({file("/etc/passwd"), file("a"), file("A")}),
              ArchiveFailure::unsafePath("/etc/passwd"));
    // Unsafe paths are found before any folder conflict of the second pass.
    EXPECT_EQ(*failureOf({file("a"), file("a/b"), file("c/../d")}),
              ArchiveFailure::unsafePath("c/../d"));
}

TEST(NameKey, TrimsSlashesComposesAndLowerCases) {
    EXPECT_EQ(nameKey("Docs/"), "docs");
    EXPECT_EQ(nameKey("/Docs/Read.ME/"), "docs/read.me");
    EXPECT_EQ(nameKey("//a//"), "a");
    EXPECT_EQ(nameKey(decomposed), "\xC3\xA1.txt");
    EXPECT_EQ(nameKey(precomposed), nameKey(decomposed));
    EXPECT_EQ(nameKey("/"), "");
    EXPECT_EQ(nameKey(""), "");
}

} // namespace
} // namespace vexa
