#include "WorkspaceHarness.h"
#include "core/archive/ArchiveFailure.h"
#include "platform/PlatformError.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace vexa {
namespace {

using namespace std::chrono_literals;
using testing::WorkspaceHarness;

const std::string cancelled = "Operación cancelada. No se guardó ningún resultado parcial.";

// A scripted engine operation: reports progress, then waits for the test to let it finish,
// polling cancellation the way engines do.
struct ScriptedWork {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
    std::atomic<int> completedUnits{0};

    auto operation() {
        return [this](Progress& progress) {
            progress.setTotalUnitCount(100);
            started = true;
            while (!release) {
                progress.setCompletedUnitCount(completedUnits);
                progress.throwIfCancelled();
                std::this_thread::sleep_for(1ms);
            }
            progress.setCompletedUnitCount(100);
            return std::string("resultado");
        };
    }
};

class OperationFrameTest : public ::testing::Test {
  protected:
    WorkspaceHarness harness;
    WorkspaceModel& model = harness.model();
    ScriptedWork work;
    std::optional<std::string> applied;

    void start(const std::string& title = "Extrayendo prueba.zip") {
        model.runOperation(title, Progress::make(), work.operation(), [this](std::string result) {
            applied = result;
            model.recordSuccess("Extracción completada", "/tmp/salida");
        });
        ASSERT_TRUE(harness.loop.runUntil([&] { return work.started.load(); }));
    }
    void finish() {
        ASSERT_TRUE(harness.loop.runUntil([&] { return !model.isBusy(); }));
    }
};

TEST_F(OperationFrameTest, SuccessRecordsTheResultAndEnds) {
    start();
    EXPECT_TRUE(model.isBusy());
    EXPECT_TRUE(model.hasTicker());
    ASSERT_NE(model.progress(), nullptr);
    work.release = true;
    finish();

    EXPECT_EQ(applied, "resultado");
    ASSERT_EQ(model.records().size(), 1u);
    const OperationRecord& record = model.records().front();
    EXPECT_TRUE(record.succeeded);
    EXPECT_EQ(record.title, "Extrayendo prueba.zip");
    EXPECT_EQ(record.detail, "Extracción completada");
    EXPECT_EQ(record.output, std::filesystem::path("/tmp/salida"));
    EXPECT_EQ(model.statusMessage(), "Extracción completada");
    EXPECT_EQ(model.lastOutput(), std::filesystem::path("/tmp/salida"));
    EXPECT_FALSE(model.hasTicker());
    EXPECT_EQ(model.progress(), nullptr);
    EXPECT_FALSE(model.isCancelling());
    EXPECT_EQ(model.operationTitle(), "Extrayendo prueba.zip");
}

TEST_F(OperationFrameTest, CancelIsLoggedAsFailureAndReportedInTheStatusBar) {
    model.setErrorMessage("Un error anterior");
    start();
    model.cancelOperation();
    EXPECT_TRUE(model.isCancelling());
    EXPECT_TRUE(model.progress()->isCancelled());
    finish();

    EXPECT_FALSE(applied);
    ASSERT_EQ(model.records().size(), 1u);
    EXPECT_FALSE(model.records().front().succeeded);
    EXPECT_EQ(model.records().front().title, "Extrayendo prueba.zip");
    EXPECT_EQ(model.records().front().detail, cancelled);
    EXPECT_EQ(model.records().front().output, std::nullopt);
    EXPECT_EQ(model.statusMessage(), cancelled);
    EXPECT_EQ(model.errorMessage(), "Un error anterior");
    EXPECT_FALSE(model.isCancelling());
    EXPECT_EQ(model.progress(), nullptr);
}

TEST_F(OperationFrameTest, FailuresShowTheirOwnDescription) {
    struct Case {
        std::exception_ptr failure;
        std::string message;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(std::runtime_error("El disco está lleno")), "El disco está lleno"},
        {std::make_exception_ptr(ArchiveFailure::corrupt("a.txt")),
         "Falló la verificación de integridad: a.txt"},
        {std::make_exception_ptr(
             PlatformError(PlatformError::Code::fileNoSuchFile, "/no/existe.zip")),
         PlatformError(PlatformError::Code::fileNoSuchFile, "/no/existe.zip").what()},
        // Something thrown that carries no description of its own.
        {std::make_exception_ptr(42), "No se pudo completar la operación"},
        // A cancellation error counts as cancelled even when nobody pressed cancel.
        {std::make_exception_ptr(CancellationError()), cancelled},
    };
    for (const auto& c : cases) {
        model.setErrorMessage(std::nullopt);
        model.setStatusMessage(std::nullopt);
        model.runOperation(
            "Operación", Progress::make(),
            [failure = c.failure](Progress&) { std::rethrow_exception(failure); },
            [] { FAIL() << "no success expected"; });
        finish();
        EXPECT_EQ(model.records().front().detail, c.message);
        EXPECT_FALSE(model.records().front().succeeded);
        if (c.message == cancelled) {
            EXPECT_EQ(model.statusMessage(), cancelled);
            EXPECT_EQ(model.errorMessage(), std::nullopt);
        } else {
            EXPECT_EQ(model.errorMessage(), c.message);
            EXPECT_EQ(model.statusMessage(), std::nullopt);
        }
    }
    EXPECT_EQ(model.records().size(), cases.size());
}

TEST_F(OperationFrameTest, WrongPasswordIsForgottenEvenWhenCancelled) {
    model.setArchivePassword("secreta");
    model.runOperation(
        "Extrayendo", Progress::make(),
        [this](Progress& progress) {
            work.started = true;
            while (!progress.isCancelled())
                std::this_thread::sleep_for(1ms);
            throw ArchiveFailure::wrongPassword();
        },
        [] {});
    ASSERT_TRUE(harness.loop.runUntil([&] { return work.started.load(); }));
    model.cancelOperation();
    finish();
    EXPECT_EQ(model.archivePassword(), std::nullopt);
    EXPECT_EQ(model.statusMessage(), cancelled);

    model.setArchivePassword("otra");
    model.runOperation(
        "Extrayendo", Progress::make(), [](Progress&) { throw ArchiveFailure::corrupt("x"); },
        [] {});
    finish();
    EXPECT_EQ(model.archivePassword(), "otra");
}

TEST_F(OperationFrameTest, BeginClearsStatusAndOutputButKeepsTheError) {
    model.setStatusMessage("Listo");
    model.setLastOutput("/tmp/antes");
    model.setErrorMessage("Fallo anterior");
    model.setFraction(0.8);
    model.setIsCancelling(true);
    auto progress = Progress::make();
    EXPECT_EQ(model.beginOperation("Abriendo a.zip", progress), progress);
    EXPECT_EQ(model.progress(), progress);
    EXPECT_TRUE(model.isBusy());
    EXPECT_FALSE(model.isCancelling());
    EXPECT_EQ(model.fraction(), 0.0);
    EXPECT_EQ(model.operationTitle(), "Abriendo a.zip");
    EXPECT_EQ(model.statusMessage(), std::nullopt);
    EXPECT_EQ(model.lastOutput(), std::nullopt);
    EXPECT_EQ(model.errorMessage(), "Fallo anterior");
    model.endOperation();
    EXPECT_FALSE(model.isBusy());
    EXPECT_TRUE(model.records().empty());
}

TEST_F(OperationFrameTest, TickerCopiesTheFractionWhileTheWorkAdvances) {
    start();
    work.completedUnits = 25;
    EXPECT_TRUE(harness.loop.runUntil([&] { return model.fraction() == 0.25; }, 5s));
    work.completedUnits = 60;
    EXPECT_TRUE(harness.loop.runUntil([&] { return model.fraction() == 0.6; }, 5s));
    // The copy only notifies when the value moved.
    const auto notified = harness.changesOf(WorkspaceField::fraction);
    harness.loop.runUntil([] { return false; }, 350ms);
    EXPECT_EQ(harness.changesOf(WorkspaceField::fraction), notified);

    work.release = true;
    finish();
    const double last = model.fraction();
    EXPECT_GE(last, 0.6);
    // After the end the fraction stays until the next begin.
    harness.loop.runUntil([] { return false; }, 250ms);
    EXPECT_EQ(model.fraction(), last);
}

TEST_F(OperationFrameTest, ASecondBeginStopsTheFirstTicker) {
    auto first = Progress::make(10);
    first->setCompletedUnitCount(3);
    auto second = Progress::make(10);
    second->setCompletedUnitCount(7);
    model.beginOperation("Primera", first);
    harness.loop.runUntil([&] { return model.fraction() == 0.3; }, 2s);
    model.beginOperation("Segunda", second);
    ASSERT_TRUE(harness.loop.runUntil([&] { return model.fraction() == 0.7; }, 2s));
    harness.changes.clear();
    harness.loop.runUntil([] { return false; }, 350ms);
    EXPECT_EQ(model.fraction(), 0.7);
    EXPECT_EQ(harness.changesOf(WorkspaceField::fraction), 0u);
    model.endOperation();
    EXPECT_FALSE(model.hasTicker());
}

TEST_F(OperationFrameTest, AFailingResultStillEndsTheFrame) {
    model.runOperation(
        "Abriendo", Progress::make(), [](Progress&) { return 1; },
        [](int) { throw ArchiveFailure::unsupported(); });
    finish();
    ASSERT_EQ(model.records().size(), 1u);
    EXPECT_EQ(model.errorMessage(), ArchiveFailure::unsupported().message());
}

TEST_F(OperationFrameTest, AFailureAfterTheNextBeginLeavesThatOperationRunning) {
    auto next = Progress::make();
    model.runOperation(
        "Primera", Progress::make(), [](Progress&) { return 1; },
        [&](int) {
            model.recordSuccess("Hecho", std::nullopt);
            model.beginOperation("Segunda", next);
            throw ArchiveFailure::unsupported();
        });
    ASSERT_TRUE(harness.loop.runUntil([&] { return model.operationTitle() == "Segunda"; }));
    harness.loop.runUntilIdle();
    EXPECT_TRUE(model.isBusy());
    EXPECT_EQ(model.progress(), next);
    ASSERT_EQ(model.records().size(), 1u);
    EXPECT_TRUE(model.records().front().succeeded);
    EXPECT_EQ(model.errorMessage(), std::nullopt);
    model.endOperation();
}

TEST_F(OperationFrameTest, ResultsAfterTheModelIsGoneAreDropped) {
    std::atomic<bool> ran{false};
    model.runOperation(
        "Tarde", Progress::make(),
        [&ran](Progress&) {
            std::this_thread::sleep_for(50ms);
            ran = true;
        },
        [] { FAIL() << "the model is gone"; });
    harness.restart();
    harness.loop.runUntilIdle();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(harness.model().records().empty());
}

TEST_F(OperationFrameTest, ClearPreviewRemovesTheFolder) {
    const auto folder = harness.temporary / "Vexa-preview-X";
    std::filesystem::create_directory(folder);
    testing::writeFile(folder / "a.txt", "hola");
    model.setPreviewDirectory(folder);
    model.setPreviewURL(folder / "a.txt");
    model.clearPreview();
    EXPECT_EQ(model.previewURL(), std::nullopt);
    EXPECT_EQ(model.previewDirectory(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(folder));
    // A folder already gone is no failure.
    model.setPreviewDirectory(folder);
    model.clearPreview();
    EXPECT_EQ(model.previewDirectory(), std::nullopt);
}

} // namespace
} // namespace vexa
