#include "platform/Paths.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace vexa::paths {
namespace {

namespace fs = std::filesystem;

TEST(PathComponents, LastComponentAndExtension) {
    struct Case {
        std::string path, last, extension;
    };
    const std::vector<Case> cases = {
        {"/Users/ana/informe.pdf", "informe.pdf", "pdf"},
        {"/Users/ana/copia.tar.gz", "copia.tar.gz", "gz"},
        {"/Users/ana/Carpeta/", "Carpeta", ""},
        {"/Users/ana/paquete.app/", "paquete.app", "app"},
        {"/Users/ana/.hidden", ".hidden", ""},
        {"/Users/ana/.hidden.zip", ".hidden.zip", "zip"},
        {"/Users/ana/ends.", "ends.", ""},
        {"/Users/ana/..", "..", ""},
        {"/Users/a.b/noext", "noext", ""},
        {"relative/a.ZIP", "a.ZIP", "ZIP"},
        {"a.z01", "a.z01", "z01"},
        {"/", "/", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
        EXPECT_EQ(pathExtension(c.path), c.extension) << c.path;
    }
}

TEST(PathComponents, DeletingExtensionAndLastComponent) {
    struct Case {
        std::string path, withoutExtension, parent;
    };
    const std::vector<Case> cases = {
        {"/x/informe.pdf", "/x/informe", "/x"},
        {"/x/copia.tar.gz", "/x/copia.tar", "/x"},
        {"/x/Carpeta.d/", "/x/Carpeta/", "/x"},
        {"/x/.hidden", "/x/.hidden", "/x"},
        {"/x/ends.", "/x/ends.", "/x"},
        {"/a.b/c", "/a.b/c", "/a.b"},
        {"/top", "/top", "/"},
        {"/", "/", "/"},
        {"docs/a.txt", "docs/a", "docs"},
        {"a.txt", "a", ""},
        {"docs/sub/", "docs/sub/", "docs"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(deletingPathExtension(c.path).string(), c.withoutExtension) << c.path;
        EXPECT_EQ(deletingLastPathComponent(c.path).string(), c.parent) << c.path;
    }
}

TEST(PathComponents, PlainNames) {
    EXPECT_EQ(nameExtension("a.tar.gz"), "gz");
    EXPECT_EQ(nameDeletingExtension("a.tar.gz"), "a.tar");
    EXPECT_EQ(nameDeletingExtension(".bashrc"), ".bashrc");
    EXPECT_EQ(nameDeletingExtension("Fotos"), "Fotos");
    EXPECT_EQ(nameDeletingExtension("x."), "x.");
    EXPECT_EQ(nameExtension(""), "");
}

TEST(PathComponents, DirectoryPaths) {
    EXPECT_TRUE(hasDirectoryPath("/x/Carpeta/"));
    EXPECT_FALSE(hasDirectoryPath("/x/Carpeta"));
    EXPECT_FALSE(hasDirectoryPath(""));
    EXPECT_EQ(appendingPathComponent("/x", "a.txt").string(), "/x/a.txt");
    EXPECT_EQ(appendingPathComponent("/x/", "sub", true).string(), "/x/sub/");
    EXPECT_TRUE(hasDirectoryPath(appendingPathComponent("/x", "sub", true)));
    EXPECT_EQ(lastPathComponent(appendingPathComponent("/x", "sub", true)), "sub");
}

TEST(PathStandardization, LexicalRules) {
    struct Case {
        std::string path, standard;
    };
    const std::vector<Case> cases = {
        {"/a/./b/../c/", "/a/c"}, {"/a//b", "/a/b"}, {"/..", "/"}, {"/", "/"}, {"/a/b/..", "/a"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(standardized(c.path).string(), c.standard) << c.path;
    const fs::path relative = standardized("some/./file");
    EXPECT_TRUE(relative.is_absolute());
    EXPECT_EQ(relative, fs::current_path() / "some" / "file");
}

TEST(PathStandardization, ResolvesLinksIncludingBelowAMissingTail) {
    vexa::testing::TemporaryDirectory folder;
    const fs::path real = fs::canonical(folder.path());
    fs::create_directories(real / "real" / "sub");
    fs::create_directory_symlink(real / "real", real / "alias");
    EXPECT_EQ(resolvingSymlinks(real / "alias" / "sub"), real / "real" / "sub");
    EXPECT_EQ(resolvingSymlinks(real / "alias" / "sub" / ""), real / "real" / "sub");
    // A destination not yet created is still recognised through the link above it.
    EXPECT_EQ(resolvingSymlinks(real / "alias" / "new.rar"), real / "real" / "new.rar");
    EXPECT_EQ(resolvingSymlinks("/nonexistent-vexa/x/../y"), fs::path("/nonexistent-vexa/y"));
}

TEST(PathTemporaryDirectory, FollowsTMPDIR) {
    const char* saved = std::getenv("TMPDIR");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("TMPDIR", "/var/tmp/", 1);
    EXPECT_EQ(temporaryDirectory(), fs::path("/var/tmp"));
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(temporaryDirectory(), fs::path("/tmp"));
    ::unsetenv("TMPDIR");
    EXPECT_EQ(temporaryDirectory(), fs::path("/tmp"));
    if (previous)
        ::setenv("TMPDIR", previous->c_str(), 1);
}

} // namespace
} // namespace vexa::paths
