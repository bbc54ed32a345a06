#include "tests/ui/SessionHarness.h"
#include "ui/ProgressDisplay.h"
#include "ui/SafeText.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
        {"corto-\xe2\x82"
         "A",
         "corto-\\xE2\\x82A"},
        {"sustituto-\xed\xa0\x80", "sustituto-\\xED\\xA0\\x80"},
        // Bidirectional controls would make a name read as another one.
        {"factura\u202Egpj.exe", "factura\\u202Egpj.exe"},
        {"a\u2066b\u2069c\u200Fd\u061C", "a\\u2066b\\u2069c\\u200Fd\\u061C"},
        // Joiners and other format characters of ordinary text stay.
        {"familia-\U0001F468\u200D\U0001F469", "familia-\U0001F468\u200D\U0001F469"},
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

TEST(ProgressLine, FollowsTheTerminalsWidthAndDrawsOnlyChanges) {
    int master = -1, terminal = -1;
    winsize size{};
    size.ws_col = 40;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, &size), 0);
    testing::SessionHarness h;
    std::ostringstream drawn;
    ProgressDisplay display(*h.model, drawn, true, terminal);
    auto progress = h.model->beginOperation("Extrayendo informe.zip", Progress::make(4));
    progress->setCompletedUnitCount(1);
    h.loop.runUntil([&] { return h.model->fraction() > 0; });
    const auto lastFrame = [&] {
        const std::string text = drawn.str();
        const auto start = text.rfind('\r') + 1;
        return text.substr(start, text.rfind("\x1b[K") - start);
    };
    const std::string title = "Extrayendo informe.zip";
    EXPECT_EQ(lastFrame(), ProgressDisplay::line(title, 0.25, 40));

    // Nothing new to draw: nothing written.
    const auto before = drawn.str().size();
    display.refresh();
    EXPECT_EQ(drawn.str().size(), before);

    size.ws_col = 60;
    ::ioctl(master, TIOCSWINSZ, &size);
    display.refresh();
    EXPECT_EQ(lastFrame(), ProgressDisplay::line(title, 0.25, 60));
    h.model->endOperation();
    ::close(master);
    ::close(terminal);
}

} // namespace
} // namespace vexa
