#include "ui/Completion.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vexa {
namespace {

using testing::TemporaryDirectory;
using testing::writeFile;
using Names = std::vector<std::string>;

// Runs in `folder` for its lifetime, since paths complete from the current folder.
struct InFolder {
    explicit InFolder(const std::filesystem::path& folder)
        : before(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(before); }
    std::filesystem::path before;
};

TEST(Completion, CommandsPathsArchiveFoldersAndAnswers) {
    TemporaryDirectory folder;
    writeFile(folder / "mi archivo.zip", "x");
    writeFile(folder / "it's.zip", "x");
    std::filesystem::create_directory(folder / "docs");
    InFolder here(folder.path());
    // An archive with "docs/", "datos/" and "docs/sub/"; any other typed folder names nothing.
    const ArchiveFolders archive = [](const std::string& typed) -> Names {
        if (typed.empty() || typed == "/")
            return {"datos/", "docs/"};
        if (typed == "docs/" || typed == "/docs/" || typed == "datos/../docs/")
            return {"sub/"};
        return {};
    };
    const struct {
        const char* line;
        bool commandLine;
        const char* insert;
        Names candidates;
    } cases[] = {
        {"abr", true, "ir", {}},
        {"ls; extraer-s", true, "eleccion ", {}},
        {"abrir mi", true, "\\ archivo.zip ", {}},
        {"abrir 'mi", true, " archivo.zip' ", {}},
        {"abrir it", true, "\\'s.zip ", {}},
        {"abrir d", true, "ocs/", {}},
        // After cd, the folders of the open archive, not those of the disk.
        {"cd d", true, "", {"datos/", "docs/"}},
        {"cd do", true, "cs/", {}},
        {"cd docs/", true, "sub/", {}},
        {"cd /docs/s", true, "ub/", {}},
        {"cd datos/../docs/", true, "sub/", {}},
        {"cd nada/", true, "", {}},
        // An answer is one path, as typed: nothing is quoted, nothing added after it.
        {"mi", false, " archivo.zip", {}},
        {"it", false, "'s.zip", {}},
        {"do", false, "cs/", {}},
    };
    for (const auto& c : cases) {
        const auto completion = complete(c.line, c.commandLine, archive);
        EXPECT_EQ(completion.insert, c.insert) << c.line;
        EXPECT_EQ(completion.candidates, c.candidates) << c.line;
    }
    // With no source of archive folders, a path after cd is a path of the disk.
    EXPECT_EQ(complete("cd do", true).insert, "cs/");
}

} // namespace
} // namespace vexa
