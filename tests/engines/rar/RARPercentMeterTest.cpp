#include "engines/rar/RARPercentMeter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vexa {
namespace {

struct MeterCase {
    const char* what;
    std::vector<std::string> reads;
    std::int64_t highest;
};

TEST(RARPercentMeter, ReadsTheHighestPercentageAcrossReads) {
    const std::vector<MeterCase> cases = {
        {"two blanks and a number", {"  45%"}, 45},
        {"one digit", {"7%"}, 7},
        {"hundred", {"100%"}, 100},
        {"above a hundred is capped", {"150%"}, 100},
        {"only the last three digits count", {"1234%"}, 100},
        {"last three of 1005 are 005", {"1005%"}, 5},
        {"a letter before the sign", {"ab%"}, 0},
        {"sign as the very first byte", {"%", "5"}, 0},
        {"digit split from its sign", {"4", "5%"}, 45},
        {"three digits split", {"1", "0", "0%"}, 100},
        {"never goes down", {"  45%", "  7%"}, 45},
        {"third digit only after a second", {"1a5%"}, 5},
        {"real output with backspaces",
         {"Adding    big      ", "\b\b\b\b  5%\b\b\b\b 37%", "\b\b\b\b100%\b\b\b\b  OK \n"},
         100},
        {"leftover tail seen again changes nothing", {"  9", "9%", "x"}, 99},
    };
    for (const MeterCase& c : cases) {
        SCOPED_TRACE(c.what);
        RARPercentMeter meter;
        for (const std::string& read : c.reads)
            meter.scan(read);
        EXPECT_EQ(meter.highest(), c.highest);
    }
}

TEST(RARPercentMeter, KeepsOnlyAShortTail) {
    // A digit far back in an earlier read must not join a later sign.
    RARPercentMeter meter;
    meter.scan("8....");
    meter.scan("%");
    EXPECT_EQ(meter.highest(), 0);
}

} // namespace
} // namespace vexa
