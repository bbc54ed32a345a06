#include "WorkspaceHarness.h"
#include "engines/EngineFactory.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using testing::WorkspaceHarness;

ArchiveItem file(std::string path, std::int64_t size = 10) {
    return {std::move(path), size, size / 2, false, false};
}
ArchiveItem directory(std::string path) {
    return {std::move(path), 0, 0, true, false};
}

struct RowsCase {
    std::string name;
    std::vector<ArchiveItem> entries;
    std::string folder;
    std::string search;
    std::vector<std::string> rows;
};

class VisibleRowsTest : public ::testing::TestWithParam<RowsCase> {};

TEST_P(VisibleRowsTest, ShowsTheExpectedRowsInOrder) {
    const RowsCase& c = GetParam();
    WorkspaceHarness harness;
    auto& model = harness.model();
    model.setArchive(testing::summaryOf("/tmp/prueba.zip", c.entries));
    model.setFolder(c.folder);
    model.setSearch(c.search);
    std::vector<std::string> paths;
    for (const auto& row : model.visibleRows())
        paths.push_back(row.path);
    EXPECT_EQ(paths, c.rows);
}

const std::vector<ArchiveItem> tree = {
    file("docs/a.txt"), file("docs/b/c.txt"), file("años/informe-final.pdf"),
    file("raíz.txt"),   directory("vacía/"),  file("vacía/nota.md"),
};

INSTANTIATE_TEST_SUITE_P(
    Browsing, VisibleRowsTest,
    ::testing::Values(
        RowsCase{
            "derivedFolderAtRoot", {file("docs/a.txt"), file("docs/b/c.txt")}, "", "", {"docs/"}},
        RowsCase{"subfolderBeforeFile",
                 {file("docs/a.txt"), file("docs/b/c.txt")},
                 "docs/",
                 "",
                 {"docs/b/", "docs/a.txt"}},
        RowsCase{
            "folderWithoutSlash", {directory("build"), file("z.txt")}, "", "", {"build/", "z.txt"}},
        RowsCase{"numericAndCaseOrder",
                 {file("file10.txt"), file("File2.txt"), file("file1.txt")},
                 "",
                 "",
                 {"file1.txt", "File2.txt", "file10.txt"}},
        RowsCase{"folderOwnEntrySkipped",
                 {directory("docs/"), file("docs/a.txt")},
                 "docs/",
                 "",
                 {"docs/a.txt"}},
        RowsCase{"searchAcrossTheTree", tree, "docs/", "INFORME", {"años/informe-final.pdf"}},
        RowsCase{"searchIgnoresAccents", tree, "", "anos", {"años/informe-final.pdf"}},
        RowsCase{"searchDerivesNoFolders",
                 tree,
                 "",
                 "a",
                 {"vacía/", "años/informe-final.pdf", "docs/a.txt", "raíz.txt", "vacía/nota.md"}},
        RowsCase{"nothingInsideFolder", {file("a.txt")}, "otra/", "", {}},
        RowsCase{"emptyPartsDropped", {file("x//y.txt"), file("/z.txt")}, "", "", {"x/", "/z.txt"}},
        RowsCase{"deepFolderYieldsOneRow",
                 {file("src/a/1"), file("src/a/2"), file("src/b/3"), file("src/4")},
                 "",
                 "",
                 {"src/"}}),
    [](const ::testing::TestParamInfo<RowsCase>& info) { return info.param.name; });

TEST(VisibleRowsEdgeTest, NoArchiveGivesNoRows) {
    WorkspaceHarness harness;
    harness.model().setSearch("a");
    EXPECT_TRUE(harness.model().visibleRows().empty());
}

TEST(VisibleRowsEdgeTest, DerivedFolderRowsCarryNoSizes) {
    WorkspaceHarness harness;
    ArchiveItem encrypted = file("docs/secreto.txt", 500);
    encrypted.isEncrypted = true;
    harness.model().setArchive(testing::summaryOf("/tmp/a.zip", {encrypted, file("a.txt", 7)}));
    const auto rows = harness.model().visibleRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (ArchiveItem{"docs/", 0, 0, true, false}));
    EXPECT_EQ(rows[1], file("a.txt", 7)); // file rows are the entries themselves
}

// Archives listed by the engines, as other tools write them: with folder entries of their own
// (zip, tar) and without (zip -D).
TEST(VisibleRowsEdgeTest, RowsOfArchivesWrittenByOtherTools) {
    WorkspaceHarness harness;
    const auto tree = harness.temporary / "arbol";
    for (const char* file :
         {"docs/a.txt", "docs/b/c.txt", "file10.txt", "File2.txt", "file1.txt"}) {
        std::filesystem::create_directories((tree / file).parent_path());
        testing::writeFile(tree / file, "x");
    }
    const std::vector<std::pair<std::string, std::string>> tools = {
        {"con-carpetas.zip", "zip -qr {} docs file10.txt File2.txt file1.txt"},
        {"sin-carpetas.zip", "zip -qrD {} docs file10.txt File2.txt file1.txt"},
        {"arbol.tar", "bsdtar -cf {} docs file10.txt File2.txt file1.txt"},
    };
    for (const auto& [name, command] : tools) {
        const auto archive = harness.temporary / name;
        std::string line = command;
        line.replace(line.find("{}"), 2, testing::shellQuote(archive.string()));
        testing::runChecked(line, tree);
        auto progress = Progress::make();
        harness.model().setArchive(
            makeArchiveEngine(archive, std::nullopt)->list(archive, *progress));

        const auto paths = [&] {
            std::vector<std::string> result;
            for (const auto& row : harness.model().visibleRows())
                result.push_back(row.path);
            return result;
        };
        harness.model().setFolder("");
        EXPECT_EQ(paths(),
                  (std::vector<std::string>{"docs/", "file1.txt", "File2.txt", "file10.txt"}))
            << name;
        harness.model().setFolder("docs/");
        EXPECT_EQ(paths(), (std::vector<std::string>{"docs/b/", "docs/a.txt"})) << name;
        harness.model().setSearch("C.TXT");
        EXPECT_EQ(paths(), std::vector<std::string>{"docs/b/c.txt"}) << name;
        harness.model().setSearch("");
    }
}

} // namespace
} // namespace vexa
