#include "ui/CommandWords.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
    const char* text;
    Words expected;
};

TEST(CommandWords, SplitsWordsHonouringQuotesAndEscapes) {
    const SplitCase cases[] = {
        {"abrir  x.zip ", {"abrir", "x.zip"}},
        {"abrir \"mi archivo.zip\"", {"abrir", "mi archivo.zip"}},
        {"abrir 'a \"b\" c'", {"abrir", "a \"b\" c"}},
        {"abrir mi\\ archivo.zip", {"abrir", "mi archivo.zip"}},
        {"buscar ''", {"buscar", ""}},
        {"  \t ", {}},
        {"'a;b'x", {"a;bx"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitWords(c.text), c.expected) << c.text;
    // An open quote means nothing: no word of the line is taken.
    for (const char* open : {"abrir 'a.zip", "abrir \"a.zip", "abrir a.zip \"'"})
        EXPECT_THROW(splitWords(open), QuotingError) << open;
    EXPECT_THROW(splitCommands("abrir 'a.zip; ls"), QuotingError);
    // Quoting a word for a command gives it back whole.
    for (const char* word : {"a.zip", "mi archivo.zip", "it's", "a\\b;\"c\"", ""})
        EXPECT_EQ(splitWords("abrir " + shellQuoted(word)), (Words{"abrir", word})) << word;
}

TEST(CommandWords, SplitsCommandsAtSemicolonsOutsideQuotes) {
    const SplitCase cases[] = {
        {"abrir x.zip; ls;extraer", {"abrir x.zip", " ls", "extraer"}},
        {"abrir 'a;b.zip'; ls", {"abrir 'a;b.zip'", " ls"}},
        {"abrir a\\;b.zip", {"abrir a\\;b.zip"}},
        {";; ls ;  ;", {" ls "}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitCommands(c.text), c.expected) << c.text;
    // The quoting kept in a command still gives the right words.
    EXPECT_EQ(splitWords(splitCommands("abrir 'a;b.zip'; ls")[0]), (Words{"abrir", "a;b.zip"}));
    EXPECT_EQ(splitWords(splitCommands("abrir a\\;b.zip")[0]), (Words{"abrir", "a;b.zip"}));
}

TEST(CommandWords, ThePartlyTypedCommandIsSplitTheSameWay) {
    const struct {
        const char* line;
        Words words;
        const char* last;
        char openQuote;
    } cases[] = {
        {"", {}, "", 0},
        {"abr", {}, "abr", 0},
        {"abrir ", {"abrir"}, "", 0},
        {"ls; cd do", {"cd"}, "do", 0},
        {"abrir 'mi arch", {"abrir"}, "mi arch", '\''},
        {"abrir \"a b\" mi\\ ar", {"abrir", "a b"}, "mi ar", 0},
        {"abrir 'a;b' \"c", {"abrir", "a;b"}, "c", '"'},
        {"abrir 'x;' ; renombrar 2 it\\'s", {"renombrar", "2"}, "it's", 0},
    };
    for (const auto& c : cases) {
        const auto partial = partialCommand(c.line);
        EXPECT_EQ(partial.words, c.words) << c.line;
        EXPECT_EQ(partial.last, c.last) << c.line;
        EXPECT_EQ(partial.openQuote, c.openQuote) << c.line;
    }
}

} // namespace
} // namespace vexa
