#include "platform/Resources.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace vexa::resources {
namespace {

namespace fs = std::filesystem;

// Sets VEXA_RESOURCES for one test and puts the previous value back.
class ScopedResourcesVariable {
  public:
    explicit ScopedResourcesVariable(const std::optional<std::string>& value) {
        if (const char* old = std::getenv("VEXA_RESOURCES"))
            previous_ = old;
        if (value)
            ::setenv("VEXA_RESOURCES", value->c_str(), 1);
        else
            ::unsetenv("VEXA_RESOURCES");
    }
    ~ScopedResourcesVariable() {
        if (previous_)
            ::setenv("VEXA_RESOURCES", previous_->c_str(), 1);
        else
            ::unsetenv("VEXA_RESOURCES");
    }

  private:
    std::optional<std::string> previous_;
};

TEST(Resources, TheVariableChoosesTheFolder) {
    vexa::testing::TemporaryDirectory folder;
    ScopedResourcesVariable variable(folder.path().string());
    vexa::testing::writeFile(folder / "rar", "program");
    vexa::testing::writeFile(folder / "default.sfx", "module");
    fs::create_symlink(folder / "gone", folder / "broken.sfx");

    EXPECT_EQ(resourcesDirectory(), folder.path());
    EXPECT_EQ(resourceURL("rar", ""), folder / "rar");
    EXPECT_EQ(resourceURL("default", "sfx"), folder / "default.sfx");
    EXPECT_FALSE(resourceURL("missing", "").has_value());
    EXPECT_FALSE(resourceURL("broken", "sfx").has_value());
    EXPECT_FALSE(resourceURL("", "").has_value());
}

TEST(Resources, WithoutTheVariableTheBuildTreeServesTheTests) {
    ScopedResourcesVariable variable(std::nullopt);
    // The test program is not installed, so there is no share/vexa beside its bin folder.
    EXPECT_EQ(resourcesDirectory(), fs::path(VEXA_BUILD_RESOURCES_DIR));
    ScopedResourcesVariable empty{std::string()};
    EXPECT_EQ(resourcesDirectory(), fs::path(VEXA_BUILD_RESOURCES_DIR));
}

} // namespace
} // namespace vexa::resources
