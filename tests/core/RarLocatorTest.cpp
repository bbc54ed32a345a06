#include "tests/core/ScopedRarLocations.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using vexa::testing::ScopedRarLocations;
using vexa::testing::TemporaryDirectory;

void makeFile(const fs::path& location, bool executable) {
    fs::create_directories(location.parent_path());
    vexa::testing::writeFile(location, "#!/bin/sh\nexit 0\n");
    fs::permissions(location, executable ? fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec
                                         : fs::perms::owner_read | fs::perms::owner_write);
}

class RarLocator : public ::testing::Test {
  protected:
    TemporaryDirectory root;
    fs::path resources = root / "resources";
    fs::path first = root / "opt/rar/rar";
    fs::path second = root / "opt/homebrew/bin/rar";
    fs::path third = root / "usr/local/bin/rar";
    fs::path debianModule = root / "usr/lib/default.sfx";

    RarLocations locations(bool withResources = true) const {
        RarLocations result;
        if (withResources)
            result.resourcesDirectory = resources;
        result.fixedCandidates = {first, second, third};
        result.fixedSFXCandidates = {debianModule};
        return result;
    }
};

TEST_F(RarLocator, PrefersTheApplicationsOwnProgram) {
    makeFile(resources / "rar", true);
    makeFile(first, true);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(resourceRARExecutable(), resources / "rar");
    EXPECT_EQ(locateRARExecutable(), resources / "rar");
}

TEST_F(RarLocator, PassesOverFilesThatCannotRun) {
    makeFile(resources / "rar", false);
    makeFile(first, false);
    fs::create_directories(second); // a folder named rar
    makeFile(third, true);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(resourceRARExecutable(), std::nullopt);
    EXPECT_EQ(locateRARExecutable(), third);
}

TEST_F(RarLocator, FollowsLinksToTheProgram) {
    makeFile(root / "real/rar", true);
    fs::create_directories(resources);
    fs::create_symlink(root / "real/rar", resources / "rar");
    fs::create_directories(first.parent_path());
    fs::create_symlink(root / "gone/rar", first);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(locateRARExecutable(), resources / "rar");
    fs::remove(resources / "rar");
    EXPECT_EQ(locateRARExecutable(), std::nullopt); // the dangling link is no program
}

TEST_F(RarLocator, WithoutResourcesFolderOnlyTheFixedPathsCount) {
    makeFile(second, true);
    ScopedRarLocations scope(locations(false));
    EXPECT_EQ(resourceRARExecutable(), std::nullopt);
    EXPECT_EQ(locateRARExecutable(), second);
}

TEST_F(RarLocator, TakesTheModuleFromResourcesFirstEvenIfNotExecutable) {
    makeFile(resources / "default.sfx", false);
    makeFile(second, true);
    makeFile(second.parent_path() / "default.sfx", true);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(locateSFXModule(), resources / "default.sfx");
}

TEST_F(RarLocator, FallsBackToTheModuleBesideTheFoundProgram) {
    fs::create_directories(resources);
    makeFile(first.parent_path() / "default.sfx", false); // beside a program that is not there
    makeFile(second, true);
    makeFile(second.parent_path() / "default.sfx", false);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(locateSFXModule(), second.parent_path() / "default.sfx");
}

TEST_F(RarLocator, DebiansModuleServesWhenNoneIsBesideTheProgram) {
    fs::create_directories(resources);
    makeFile(third, true);
    makeFile(debianModule, false);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(locateSFXModule(), debianModule);
    makeFile(third.parent_path() / "default.sfx", false);
    EXPECT_EQ(locateSFXModule(), third.parent_path() / "default.sfx");
}

TEST_F(RarLocator, WithoutProgramTheModuleIsOnlyLookedForInResources) {
    makeFile(debianModule, false);
    makeFile(first, false);
    makeFile(first.parent_path() / "default.sfx", false);
    fs::create_directories(resources);
    ScopedRarLocations scope(locations());
    EXPECT_EQ(resourceRARExecutable(), std::nullopt);
    EXPECT_EQ(locateRARExecutable(), std::nullopt);
    EXPECT_EQ(locateSFXModule(), std::nullopt);
    // A dangling link is no module.
    fs::create_symlink(root / "gone.sfx", resources / "default.sfx");
    EXPECT_EQ(locateSFXModule(), std::nullopt);
    fs::remove(resources / "default.sfx");
    makeFile(resources / "default.sfx", false);
    EXPECT_EQ(locateSFXModule(), resources / "default.sfx");
}

TEST_F(RarLocator, ReadersOnOtherThreadsSeeOneWholeSetOfLocations) {
    makeFile(first, true);
    const RarLocations withProgram = locations();
    RarLocations without = locations();
    without.fixedCandidates.clear();
    ScopedRarLocations scope(withProgram);
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0};
    std::thread reader([&] {
        while (!stop) {
            const auto found = locateRARExecutable();
            EXPECT_TRUE(!found || *found == first);
            ++answers;
        }
    });
    for (int i = 0; i < 200; ++i)
        setRarLocations(i % 2 ? withProgram : without);
    while (answers < 10)
        std::this_thread::yield();
    stop = true;
    reader.join();
}

TEST(RarLocatorDefaults, LooksAtTheThreeFixedPathsInOrder) {
    const RarLocations standard = RarLocations::standard();
    EXPECT_EQ(standard.fixedCandidates,
              (std::vector<fs::path>{"/opt/rar/rar", "/usr/bin/rar", "/usr/local/bin/rar"}));
    EXPECT_EQ(standard.fixedSFXCandidates, std::vector<fs::path>{"/usr/lib/default.sfx"});
    EXPECT_EQ(rarLocations().fixedCandidates, standard.fixedCandidates);
}

} // namespace
} // namespace vexa
