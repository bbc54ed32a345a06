#include "WorkspaceHarness.h"
#include "platform/Bookmarks.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/prctl.h>

namespace vexa {
namespace {

using testing::WorkspaceHarness;

// Each setter, once with the value the field already holds and once with a new one.
TEST(ModelFieldsTest, EqualValuesNotifyNobody) {
    struct Case {
        WorkspaceField field;
        std::function<void(WorkspaceModel&)> same;
        std::function<void(WorkspaceModel&)> changed;
    };
    const std::vector<Case> cases = {
        {WorkspaceField::folder, [](auto& m) { m.setFolder(""); },
         [](auto& m) { m.setFolder("docs/"); }},
        {WorkspaceField::search, [](auto& m) { m.setSearch(""); },
         [](auto& m) { m.setSearch("informe"); }},
        {WorkspaceField::selection, [](auto& m) { m.setSelection({}); },
         [](auto& m) { m.setSelection({"a.txt"}); }},
        {WorkspaceField::page, [](auto& m) { m.setPage(WorkspacePage::home); },
         [](auto& m) { m.setPage(WorkspacePage::create); }},
        {WorkspaceField::sources, [](auto& m) { m.setSources({}); },
         [](auto& m) { m.setSources({"/tmp/a"}); }},
        {WorkspaceField::rarLevel, [](auto& m) { m.setRarLevel(3); },
         [](auto& m) { m.setRarLevel(5); }},
        {WorkspaceField::tarCompression, [](auto& m) { m.setTarCompression(TarCompression::gzip); },
         [](auto& m) { m.setTarCompression(TarCompression::zstd); }},
        {WorkspaceField::archiveName, [](auto& m) { m.setArchiveName("Archivo"); },
         [](auto& m) { m.setArchiveName("Fotos"); }},
        {WorkspaceField::statusMessage, [](auto& m) { m.setStatusMessage(std::nullopt); },
         [](auto& m) { m.setStatusMessage(""); }},
        {WorkspaceField::previewURL, [](auto& m) { m.setPreviewURL(std::nullopt); },
         [](auto& m) { m.setPreviewURL("/tmp/x"); }},
        {WorkspaceField::fraction, [](auto& m) { m.setFraction(0); },
         [](auto& m) { m.setFraction(0.5); }},
        {WorkspaceField::isDefaultApp, [](auto& m) { m.setIsDefaultApp(false); },
         [](auto& m) { m.setIsDefaultApp(true); }},
        {WorkspaceField::creationPassword, [](auto& m) { m.setCreationPassword(""); },
         [](auto& m) { m.setCreationPassword("clave"); }},
    };
    for (const auto& c : cases) {
        WorkspaceHarness harness;
        c.same(harness.model());
        EXPECT_TRUE(harness.changes.empty()) << fieldName(c.field);
        c.changed(harness.model());
        EXPECT_EQ(harness.changes, std::vector<WorkspaceField>{c.field}) << fieldName(c.field);
        c.changed(harness.model());
        EXPECT_EQ(harness.changes.size(), 1u) << fieldName(c.field);
    }
}

TEST(ModelFieldsTest, ProcessIsNotDumpableExactlyWhileAPasswordIsHeld) {
    const auto dumpable = [] { return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0); };
    WorkspaceHarness harness;
    auto& model = harness.model();
    EXPECT_EQ(dumpable(), 1);
    model.setCreationPassword("clave");
    model.setPasswordConfirmation("clave");
    model.setArchivePassword(std::string("otra"));
    model.setCreationPassword("");
    model.setPasswordConfirmation("");
    EXPECT_EQ(dumpable(), 0) << "the archive's password is still held";
    model.setArchivePassword(std::nullopt);
    EXPECT_EQ(dumpable(), 1);
}

TEST(ModelFieldsTest, ArchiveAndRecordsAlwaysNotify) {
    WorkspaceHarness harness;
    harness.model().setArchive(std::nullopt);
    harness.model().setArchive(std::nullopt);
    harness.model().setRecords({});
    EXPECT_EQ(harness.changesOf(WorkspaceField::archive), 2u);
    EXPECT_EQ(harness.changesOf(WorkspaceField::records), 1u);
}

TEST(ModelFieldsTest, TrackingTellsWhatTheRowsDependOn) {
    WorkspaceHarness harness;
    harness.model().setArchive(testing::summaryOf("/tmp/a.zip", {{"a.txt", 1, 1, false, false}}));
    const auto reads =
        harness.model().observation().track([&] { (void)harness.model().visibleRows(); });
    EXPECT_EQ(reads, (std::set<WorkspaceField>{WorkspaceField::archive, WorkspaceField::folder,
                                               WorkspaceField::search}));
}

TEST(ModelFieldsTest, AnObserverMayUnsubscribeWhileBeingTold) {
    WorkspaceHarness harness;
    auto& registrar = harness.model().observation();
    int calls = 0;
    ObservationRegistrar::Token token = 0;
    token = registrar.subscribe([&](WorkspaceField) {
        ++calls;
        registrar.unsubscribe(token);
    });
    harness.model().setFolder("a/");
    harness.model().setFolder("b/");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(harness.changesOf(WorkspaceField::folder), 2u);
}

TEST(ModelFieldsTest, StoredRarProgramIsReachedAtStartUp) {
    WorkspaceHarness harness;
    const auto program = harness.temporary / "rar";
    testing::writeFile(program, "#!/bin/sh\n");
    harness.settings.setData(WorkspaceModel::rarExecutableBookmarkKey,
                             bookmarks::bookmarkData(program));
    harness.restart();
    ASSERT_TRUE(harness.model().rarExecutableScope());
    EXPECT_TRUE(std::filesystem::equivalent(*harness.model().rarExecutableScope(), program));
    EXPECT_TRUE(harness.model().rarExecutableAccessed());

    // A program that is gone, or data that is no bookmark, is ignored.
    std::filesystem::remove(program);
    harness.restart();
    EXPECT_EQ(harness.model().rarExecutableScope(), std::nullopt);
    EXPECT_FALSE(harness.model().rarExecutableAccessed());
    harness.settings.setData(WorkspaceModel::rarExecutableBookmarkKey, {1, 2, 3});
    harness.restart();
    EXPECT_FALSE(harness.model().rarExecutableAccessed());
}

} // namespace
} // namespace vexa
