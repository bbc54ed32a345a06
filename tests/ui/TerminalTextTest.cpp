#include "ui/ProgressDisplay.h"
#include "ui/SafeText.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(SafeText, ControlCharactersAndBadBytesAreEscaped) {
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"informe.txt", "informe.txt"},
        {"años/ñandú.txt", "años/ñandú.txt"},
        {"a\nb.txt", "a\\nb.txt"},
        {"\x1b[31mrojo", "\\033[31mrojo"},
        {"tab\tcr\rdel\x7f", "tab\\tcr\\rdel\\177"},
        {"c:\\dos", "c:\\\\dos"},
        {"latin1-\xf1o", "latin1-\\xF1o"},
        {"c1-\xc2\x9b"
         "31m",
         "c1-\\u009B31m"}, // the one-byte CSI of some terminals
        {"corto-\xe2\x82", "corto-\\xE2\\x82"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printable(c.name), c.shown) << c.shown;
    EXPECT_EQ(printable("dos\nlíneas", true), "dos\nlíneas");
}

TEST(ProgressLine, FitsTheColumnsGiven) {
    const struct {
        std::string title;
        double fraction;
        int columns;
        std::string extra;
        std::string line;
    } cases[] = {
        {"Abriendo", 0.5, 30, "", "Abriendo [######......]  50 %"},
        {"Abriendo", 1.5, 30, "", "Abriendo [############] 100 %"},
        {"Abriendo", 0.5, 40, "quedan 3 s", "Abriendo [#####......]  50 % quedan 3 s"},
        // Too narrow for the extra: it goes first, then the title is cut.
        {"Abriendo", 0.5, 32, "quedan 3 s", "Abriendo [#######.......]  50 %"},
        {"Extrayendo un nombre largo", 0, 25, "", "Extr… [..........]   0 %"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProgressDisplay::line(c.title, c.fraction, c.columns, c.extra), c.line);
    }
}

TEST(ProgressLine, ThroughputAndTimeLeftOnlyOnLongWork) {
    EXPECT_EQ(ProgressDisplay::rateAndTimeLeft(0.5, 1, 100), "");
    EXPECT_EQ(ProgressDisplay::rateAndTimeLeft(0, 10, 100), "");
    EXPECT_EQ(ProgressDisplay::rateAndTimeLeft(0.25, 10, 100'000'000), "2,5 MB/s, quedan 30 s");
    EXPECT_EQ(ProgressDisplay::rateAndTimeLeft(0.1, 60, std::nullopt), "quedan 9 min 0 s");
    EXPECT_EQ(ProgressDisplay::rateAndTimeLeft(0.01, 100, 1'000'000'000),
              "100 kB/s, quedan 2 h 45 min");
}

} // namespace
} // namespace vexa
