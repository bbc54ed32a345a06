#include "OperationTestSupport.h"

#include "platform/Bookmarks.h"

#include <cstdlib>

namespace vexa::testing {

PrivateTemporaryFolder::PrivateTemporaryFolder() : folder_(root_ / "tmp") {
    std::filesystem::create_directories(folder_);
    if (const char* value = std::getenv("TMPDIR"))
        saved_ = value;
    ::setenv("TMPDIR", folder_.c_str(), 1);
}

PrivateTemporaryFolder::~PrivateTemporaryFolder() {
    if (saved_)
        ::setenv("TMPDIR", saved_->c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

WorkspaceOperationTest::WorkspaceOperationTest()
    : temporaryFolder(temporary_.path()), work(harness.temporary / "work") {
    std::filesystem::create_directories(work);
    // Access left open by an earlier test of the same program must not count here.
    bookmarks::resetAccessCounts();
}

WorkspaceOperationTest::~WorkspaceOperationTest() = default;

void WorkspaceOperationTest::waitUntilIdle() {
    ASSERT_TRUE(harness.loop.runUntil([&] { return !model().isBusy(); }))
        << "the operation never ended";
}

void WorkspaceOperationTest::openAndWait(const std::filesystem::path& archive) {
    model().openArchive(archive);
    waitUntilIdle();
    ASSERT_TRUE(model().archive().has_value())
        << archive << ": " << model().errorMessage().value_or("");
}

std::filesystem::path WorkspaceOperationTest::sampleTree(const std::string& name) {
    const auto root = work / name;
    std::filesystem::create_directories(root / "docs/b");
    writeFile(root / "docs/a.txt", "primer archivo\n");
    writeFile(root / "docs/b/c.txt", sampleBytes(5000, 7, true));
    writeFile(root / "top.txt", "arriba\n");
    return root;
}

std::vector<std::filesystem::path> WorkspaceOperationTest::previewFolders() const {
    std::vector<std::filesystem::path> found;
    for (const auto& item : std::filesystem::directory_iterator(temporaryFolder))
        if (item.path().filename().string().rfind("Vexa-preview-", 0) == 0)
            found.push_back(item.path());
    return found;
}

} // namespace vexa::testing
