#include "core/archive/ExtractionSpace.h"

#include "platform/PlatformError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(ExtractionSpaceTest, CountsWhatTheChoiceExtracts) {
    const std::vector<ArchiveItem> entries = {
        {"docs/", 0, 0, true},
        {"docs/a.txt", 10, 5, false},
        {"docs/b/c.txt", 100, 50, false},
        {"docsx.txt", 1000, 500, false},
        {"top.txt", 10000, 10, false},
        {"lies.bin", -5, 1, false},
    };
    const std::vector<std::pair<std::set<std::string>, std::uint64_t>> rows = {
        {{}, 11110},
        {{"docs"}, 110},
        {{"docs/"}, 110},
        {{"docs/b/"}, 100},
        {{"top.txt", "docs/a.txt"}, 10010},
        {{"nada"}, 0},
    };
    for (const auto& [chosen, bytes] : rows)
        EXPECT_EQ(listedBytes(entries, chosen), bytes) << chosen.size();
    const std::vector<ArchiveItem> huge = {
        {"a", INT64_MAX, 1, false}, {"b", INT64_MAX, 1, false}, {"c", INT64_MAX, 1, false}};
    EXPECT_EQ(listedBytes(huge, {}), UINT64_MAX);
}

TEST(ExtractionSpaceTest, RefusesWhatTheDestinationCannotHold) {
    testing::TemporaryDirectory dir;
    EXPECT_NO_THROW(ensureRoomForExtraction(1 << 20, dir.path()));
    try {
        ensureRoomForExtraction(UINT64_MAX, dir / "");
        FAIL() << "no refusal";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.code(), PlatformError::Code::fileWriteOutOfSpace);
        EXPECT_EQ(std::string(error.what()), "No se pudo guardar el archivo «" +
                                                 dir.path().filename().string() +
                                                 "» porque no hay espacio suficiente.");
    }
}

} // namespace
} // namespace vexa
