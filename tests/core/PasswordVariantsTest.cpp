#include "core/archive/PasswordVariants.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vexa {
namespace {

using Bytes = std::vector<std::string>;

std::string nul(std::string bytes) {
    return bytes + std::string(1, '\0');
}

TEST(PasswordVariants, ComposedDecomposedAndTypedWithoutRepeats) {
    struct Row {
        std::string typed;
        Bytes expected;
    };
    const std::vector<Row> rows = {
        {"", {""}},
        {"secreto123", {"secreto123"}},
        // Precomposed n with tilde: the typed text equals the first form.
        {"a\xC3\xB1o", {"a\xC3\xB1o", "an\xCC\x83o"}},
        // Typed decomposed: composed first, then the typed text once.
        {"an\xCC\x83o", {"a\xC3\xB1o", "an\xCC\x83o"}},
        // Mixed spellings: neither form equals what was typed, so all three are tried.
        {"\xC3\xA9"
         "e\xCC\x81",
         {"\xC3\xA9\xC3\xA9",
          "e\xCC\x81"
          "e\xCC\x81",
          "\xC3\xA9"
          "e\xCC\x81"}},
        {"\xD0\xB6", {"\xD0\xB6"}}, // Cyrillic zhe has no decomposition
    };
    for (const auto& row : rows)
        EXPECT_EQ(passwordVariants(row.typed), row.expected) << row.typed;
}

TEST(ZIPPasswordCandidates, UTF8FormsThenLosslessCodePages) {
    struct Row {
        std::string typed;
        Bytes expected;
    };
    const std::vector<Row> rows = {
        {"", {nul("")}},
        {"Abc-123", {nul("Abc-123")}},
        // n with tilde: 0xA4 in both DOS pages (one kept), 0xF1 in Windows-1252.
        {"\xC3\xB1", {nul("\xC3\xB1"), nul("n\xCC\x83"), nul("\xA4"), nul("\xF1")}},
        {"n\xCC\x83", {nul("\xC3\xB1"), nul("n\xCC\x83"), nul("\xA4"), nul("\xF1")}},
        {"caf\xC3\xA9", {nul("caf\xC3\xA9"), nul("cafe\xCC\x81"), nul("caf\x82"), nul("caf\xE9")}},
        // The euro sign exists only in Windows-1252.
        {"\xE2\x82\xAC"
         "5",
         {nul("\xE2\x82\xAC"
              "5"),
          nul("\x80"
              "5")}},
        // Cyrillic exists in none of the three pages.
        {"\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C",
         {nul("\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C")}},
        // Greek alpha: missing from page 850 and Windows-1252, present in page 437.
        {"\xCE\xB1", {nul("\xCE\xB1"), nul("\xE0")}},
        // Sharp s: 0xE1 in both DOS pages, 0xDF in Windows-1252.
        {"stra\xC3\x9F"
         "e",
         {nul("stra\xC3\x9F"
              "e"),
          nul("stra\xE1"
              "e"),
          nul("stra\xDF"
              "e")}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(zipPasswordCandidates(row.typed), row.expected) << row.typed;
}

TEST(UniqueCandidates, KeepsFirstOccurrencesInOrder) {
    EXPECT_EQ(uniqueCandidates({"b", "a", "b", "c", "a"}), (Bytes{"b", "a", "c"}));
    EXPECT_EQ(uniqueCandidates({}), Bytes{});
    EXPECT_EQ(uniqueCandidates({std::string("a\0", 2), "a"}), (Bytes{std::string("a\0", 2), "a"}));
}

} // namespace
} // namespace vexa
