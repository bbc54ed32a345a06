#include "platform/TextRules.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vexa::text {
namespace {

// The order and the search follow the user's locale (a Turkish one keeps I and i apart); the
// expectations below are those of the root rules, which the C locale gives.
const bool rootRules = [] { return setenv("LC_ALL", "C.UTF-8", 1) == 0; }();

const std::string precomposedN = "\xC3\xB1"; // ñ
const std::string decomposedN = "n\xCC\x83"; // n + combining tilde
const std::string precomposedE = "\xC3\xA9"; // é
const std::string euro = "\xE2\x82\xAC";     // €
const std::string cyrillicZhe = "\xD0\x96";  // Ж

TEST(TextNormalization, ComposesAndDecomposes) {
    ASSERT_TRUE(rootRules);
    EXPECT_EQ(nfc("ma" + decomposedN + "ana"), "ma" + precomposedN + "ana");
    EXPECT_EQ(nfd("ma" + precomposedN + "ana"), "ma" + decomposedN + "ana");
    EXPECT_EQ(nfc(nfd("Informe " + precomposedE)), "Informe " + precomposedE);
    EXPECT_EQ(nfc("plain ascii"), "plain ascii");
    EXPECT_EQ(nfd(""), "");
}

TEST(TextCase, LowerAndUpperIgnoreTheProcessLocale) {
    EXPECT_EQ(lowercased("A\xC3\x91O/INFORME.PDF"), "a" + precomposedN + "o/informe.pdf");
    EXPECT_EQ(uppercased("a" + precomposedN + "o"), "A\xC3\x91O");
    // Root rules: a Turkish locale would give a dotless i here.
    EXPECT_EQ(lowercased("I"), "i");
    // Lower-casing changes the byte length of some letters; the whole text must survive.
    EXPECT_EQ(lowercased("\xC8\xBA"
                         "X"),
              "\xE2\xB1\xA5"
              "x");
    // The ASCII form leaves every other byte alone, ill-formed UTF-8 included.
    EXPECT_EQ(asciiLowercased("Z01.\xC3\x91"
                              "Ab\xFF"),
              "z01.\xC3\x91"
              "ab\xFF");
    EXPECT_EQ(asciiLowercased(""), "");
}

TEST(TextOrder, FileManagerOrder) {
    std::vector<std::string> names = {"file10.txt", "File2.txt", "file1.txt"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return localizedStandardCompare(a, b) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"file1.txt", "File2.txt", "file10.txt"}));
}

TEST(TextOrder, PairwiseResults) {
    struct Case {
        std::string a, b;
        int sign;
    };
    const std::vector<Case> cases = {
        {"a", "b", -1},
        {"B", "a", 1},
        {"README", "readme", 0},
        {"img9.png", "img10.png", -1},
        {"img010.png", "img9.png", 1},
        {"z", "Z10", -1},
        {"resume", "r" + precomposedE + "sum" + precomposedE, -1},
        {"ma" + precomposedN + "ana", "ma" + decomposedN + "ana", 0},
        {"", "a", -1},
    };
    for (const Case& c : cases) {
        const int result = localizedStandardCompare(c.a, c.b);
        const int sign = (result > 0) - (result < 0);
        EXPECT_EQ(sign, c.sign) << c.a << " vs " << c.b;
        const int reverse = localizedStandardCompare(c.b, c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.sign) << c.b << " vs " << c.a;
        // Sort keys order the texts the same way.
        const int keys = localizedStandardSortKey(c.a).compare(localizedStandardSortKey(c.b));
        EXPECT_EQ((keys > 0) - (keys < 0), c.sign) << "keys of " << c.a << " vs " << c.b;
    }
}

TEST(TextContainment, IgnoresCaseAndAccents) {
    struct Case {
        std::string haystack, needle;
        bool contained;
    };
    const std::vector<Case> cases = {
        {"Inform" + precomposedE + " final.PDF", "informe", true},
        {"inform" + precomposedE, "INFORME", true},
        {"a" + precomposedN + "os/informe-final.pdf", "INFORME", true},
        {"inform" + nfd(precomposedE) + "-2024", "INFORME", true},
        {"documento.txt", "informe", false},
        {"info", "informe", false},
        {"cualquiera", "", false},
        {"", "a", false},
        {"x/y/z.txt", "Y/Z", true},
        // Control characters are ignorable to the collator, so plain ASCII text can match
        // across them.
        {"in\x01"
         "forme.txt",
         "informe", true},
        {"a_b-c.d", "B-C", true},
        {"a_b-c.d", "b_c", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(localizedStandardContains(c.haystack, c.needle), c.contained)
            << c.needle << " in " << c.haystack;
}

TEST(TextContainment, ChangingNeedleIsNotConfusedByThePreviousSearch) {
    EXPECT_TRUE(localizedStandardContains("alpha beta", "beta"));
    EXPECT_FALSE(localizedStandardContains("alpha beta", "gamma"));
    EXPECT_TRUE(localizedStandardContains("gamma", "gamma"));
    EXPECT_FALSE(localizedStandardContains("delta", "gamma"));
}

TEST(TextContainment, WorksFromSeveralThreads) {
    std::vector<std::thread> threads;
    std::vector<int> found(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &found] {
            for (int i = 0; i < 200; ++i)
                found[t] +=
                    localizedStandardContains("Inform" + precomposedE + " " + std::to_string(i),
                                              "informe " + std::to_string(i))
                        ? 1
                        : 0;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(found, std::vector<int>(4, 200));
}

TEST(TextCodePages, LosslessEncodings) {
    struct Case {
        std::string text;
        CodePage page;
        std::optional<std::string> bytes;
    };
    const std::vector<Case> cases = {
        {precomposedN, CodePage::dosLatin1, std::string("\xA4")},
        {precomposedN, CodePage::dosLatinUS, std::string("\xA4")},
        {precomposedN, CodePage::windowsLatin1, std::string("\xF1")},
        {euro, CodePage::dosLatin1, std::nullopt},
        {euro, CodePage::dosLatinUS, std::nullopt},
        {euro, CodePage::windowsLatin1, std::string("\x80")},
        {"clave" + cyrillicZhe, CodePage::dosLatin1, std::nullopt},
        {"clave" + cyrillicZhe, CodePage::dosLatinUS, std::nullopt},
        {"clave" + cyrillicZhe, CodePage::windowsLatin1, std::nullopt},
        {"plain", CodePage::dosLatinUS, std::string("plain")},
        {"", CodePage::windowsLatin1, std::string()},
        // A decomposed accent has no single byte; callers compose first.
        {decomposedN, CodePage::dosLatin1, std::nullopt},
        // Control characters stay themselves although the IBM tables move them.
        {"\x1A\x1C\x7F", CodePage::dosLatinUS, std::string("\x1A\x1C\x7F")},
        {"pa" + precomposedN + "o" + euro, CodePage::windowsLatin1, std::string("pa\xF1o\x80")},
        {std::string("\xFF\xFE"), CodePage::windowsLatin1, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encodeLossless(c.text, c.page), c.bytes)
            << c.text << " in page " << static_cast<int>(c.page);
}

TEST(TextCodePages, DecodesEveryByte) {
    EXPECT_EQ(decode("a\xA4o", CodePage::dosLatinUS), "a" + precomposedN + "o");
    EXPECT_EQ(decode("\x82", CodePage::dosLatinUS), precomposedE);
    EXPECT_EQ(decode("\xF1", CodePage::windowsLatin1), precomposedN);
    EXPECT_EQ(decode("\x80", CodePage::windowsLatin1), euro);
    EXPECT_EQ(decode("\x1A\x7F", CodePage::dosLatin1), "\x1A\x7F");
    for (const CodePage page :
         {CodePage::dosLatin1, CodePage::dosLatinUS, CodePage::windowsLatin1}) {
        std::string all;
        for (int byte = 1; byte < 256; ++byte)
            all.push_back(static_cast<char>(byte));
        const std::string text = decode(all, page);
        EXPECT_TRUE(isValidUTF8(text));
        EXPECT_EQ(unicodeScalarCount(text), 255u);
        EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos) << static_cast<int>(page);
        // Every byte comes back unchanged, so decoded names can be written out again.
        EXPECT_EQ(encodeLossless(text, page), all) << static_cast<int>(page);
    }
}

TEST(TextUTF8, ValidityAndScalarCount) {
    struct Case {
        std::string bytes;
        bool valid;
        std::size_t scalars;
    };
    const std::vector<Case> cases = {
        {"", true, 0},
        {"abc", true, 3},
        {precomposedN + euro + "\xF0\x9F\x93\xA6", true, 3},
        {decomposedN, true, 2},
        {"\xC3", false, 0},                // truncated sequence
        {"\xC0\xAF", false, 0},            // overlong "/"
        {"\xED\xA0\x80", false, 0},        // surrogate
        {"\xF4\x90\x80\x80", false, 0},    // beyond U+10FFFF
        {std::string("a\0b", 3), true, 3}, // NUL is a scalar
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << ::testing::PrintToString(c.bytes);
        if (c.valid) {
            EXPECT_EQ(unicodeScalarCount(c.bytes), c.scalars);
        }
    }
}

TEST(TextUTF8, AWalkStepsOverCharactersAndIllFormedBytes) {
    struct Case {
        std::string bytes;
        std::optional<char32_t> character;
        std::size_t length;
    };
    const std::vector<Case> cases = {
        {"a", U'a', 1},
        {euro + "x", U'\u20AC', 3},
        {"\xF0\x9F\x93\xA6", U'\U0001F4E6', 4},
        {"\xE2\x82"
         "A",
         std::nullopt, 2}, // a cut sequence spans its own bytes only
        {"\xC0\xAF", std::nullopt, 1},
        {"\xED\xA0\x80", std::nullopt, 1},
        {"\xFF", std::nullopt, 1},
    };
    for (const Case& c : cases) {
        const Scalar scalar = scalarAt(c.bytes, 0);
        EXPECT_EQ(scalar.character, c.character) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(scalar.length, c.length) << ::testing::PrintToString(c.bytes);
    }
    for (char32_t control : {U'\u202A', U'\u202E', U'\u2066', U'\u2069', U'\u200E', U'\u061C'})
        EXPECT_TRUE(isBidiControl(control)) << static_cast<unsigned>(control);
    for (char32_t plain : {U'a', U'\u200D', U'\u05D0', U'\u00A0'})
        EXPECT_FALSE(isBidiControl(plain)) << static_cast<unsigned>(plain);
}

// Strict both ways: an ill-formed text has no UTF-16 form (an overlong NUL or "/" would name
// another file), and UTF-16 with a lone surrogate has no UTF-8 one.
TEST(TextUTF16, ConversionsAreStrict) {
    const std::pair<std::string, std::optional<std::u16string>> fromUTF8[] = {
        {"", u""},
        {"caf\xC3\xA9/e\xCC\x81", u"caf\u00E9/e\u0301"},
        {"\xF0\x9F\x93\xA6", u"\U0001F4E6"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        {"\xC0\x80", std::nullopt}, // overlong NUL
        {"a\xE0\x80\xAF"
         "b",
         std::nullopt}, // overlong "/"
        {"\xC0\xAF", std::nullopt},
        {"\xED\xA0\x80", std::nullopt},     // surrogate
        {"\xF4\x90\x80\x80", std::nullopt}, // beyond U+10FFFF
        {"\xFF", std::nullopt},
        {"\xC3", std::nullopt}, // cut short
    };
    for (const auto& [bytes, expected] : fromUTF8) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        EXPECT_EQ(utf16(bytes), expected);
        if (expected) {
            EXPECT_EQ(utf8(*expected), bytes);
        }
    }
    EXPECT_EQ(utf16Replacing("a\xC0\x80"
                             "b"),
              u"a\uFFFD\uFFFDb");
    EXPECT_EQ(utf16Replacing("a\xE0\x80\xAF"
                             "b")
                  .find(u'/'),
              std::u16string::npos);
    EXPECT_EQ(utf8(std::u16string(1, char16_t(0xD800))), std::nullopt);
    EXPECT_EQ(utf8(std::u16string(u"a") + char16_t(0xDC00) + u"b"), std::nullopt);
}

} // namespace
} // namespace vexa::text
