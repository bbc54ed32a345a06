#include "core/archive/CreationRequest.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>

namespace vexa {
namespace {

// A level the creators refuse must stay out of their range when it is narrowed to int.
TEST(CreationRequest, LevelsBeyondIntStayBeyondTheCreatorsRange) {
    constexpr std::int64_t intMax = std::numeric_limits<int>::max();
    constexpr std::int64_t intMin = std::numeric_limits<int>::min();
    const std::pair<std::int64_t, int> cases[] = {
        {0, 0},
        {9, 9},
        {-1, -1},
        {intMax, std::numeric_limits<int>::max()},
        {intMax + 1, std::numeric_limits<int>::max()},
        {(std::int64_t{1} << 32) + 5, std::numeric_limits<int>::max()},
        {intMin - 1, std::numeric_limits<int>::min()},
        {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<int>::min()},
    };
    for (const auto& [level, expected] : cases)
        EXPECT_EQ(creatorLevel(level), expected) << level;
}

} // namespace
} // namespace vexa
