#include "platform/Secrets.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

namespace vexa {
namespace {

TEST(SecretsTest, WipingOverwritesTheWholeBuffer) {
    std::string text(100, 'x');
    text.resize(10); // the bytes past the length still hold "x"
    const char* buffer = text.data();
    secrets::wipe(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(text.data(), buffer);
    EXPECT_EQ(std::string(buffer, 100), std::string(100, '\0'));

    std::optional<std::string> held = std::string(40, 'y');
    std::vector<std::string> many = {std::string(40, 'z'), "corta"};
    secrets::wipe(held);
    secrets::wipe(many);
    EXPECT_FALSE(held);
    EXPECT_TRUE(many.empty());
}

TEST(SecretsTest, ProcessIsNotDumpableWhileAPasswordIsHeld) {
    const auto dumpable = [] { return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0); };
    ASSERT_EQ(dumpable(), 1);
    {
        secrets::NonDumpable outer;
        EXPECT_EQ(dumpable(), 0);
        { secrets::NonDumpable inner; }
        EXPECT_EQ(dumpable(), 0) << "the outer hold still stands";
    }
    EXPECT_EQ(dumpable(), 1);
}

} // namespace
} // namespace vexa
