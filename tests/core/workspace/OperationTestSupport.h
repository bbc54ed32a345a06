#pragma once

#include "WorkspaceHarness.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace vexa::testing {

// $TMPDIR pointed at a private folder for the object's lifetime. It must be set before the model
// exists and restored after it is gone: the model's background threads read the environment,
// and changing it under them is a data race.
class PrivateTemporaryFolder {
  public:
    PrivateTemporaryFolder();
    ~PrivateTemporaryFolder();
    PrivateTemporaryFolder(const PrivateTemporaryFolder&) = delete;
    PrivateTemporaryFolder& operator=(const PrivateTemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return folder_; }

  private:
    TemporaryDirectory root_;
    std::filesystem::path folder_;
    std::optional<std::string> saved_;
};

// A model whose temporary folder (where previews go) is private to the test, with helpers that
// drive it from the main loop the way the user interface does.
class WorkspaceOperationTest : public ::testing::Test {
  private:
    PrivateTemporaryFolder temporary_; // constructed before the harness, destroyed after it

  protected:
    WorkspaceOperationTest();
    ~WorkspaceOperationTest() override;

    WorkspaceModel& model() { return harness.model(); }
    // Runs the loop until no operation is running; fails the test when it never ends.
    void waitUntilIdle();
    // Opens through the model and waits; the archive must open.
    void openAndWait(const std::filesystem::path& archive);
    // A folder of sample files: docs/a.txt, docs/b/c.txt, top.txt.
    std::filesystem::path sampleTree(const std::string& name = "tree");
    // Items whose names start with "Vexa-preview-" in the private temporary folder.
    std::vector<std::filesystem::path> previewFolders() const;

    WorkspaceHarness harness;
    std::filesystem::path temporaryFolder; // $TMPDIR while the test runs
    std::filesystem::path work;            // where tests make their archives
};

} // namespace vexa::testing
