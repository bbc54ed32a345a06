#include "core/workspace/WorkspaceModel.h"

#include "core/archive/ArchiveFailure.h"
#include "platform/Bookmarks.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"

#include <chrono>

namespace vexa {

namespace {
constexpr auto tickerInterval = std::chrono::milliseconds(100);
}

WorkspaceModel::WorkspaceModel(MainLoop& loop, Dialogs& dialogs, SettingsStore& settings,
                               DesktopIntegration desktop)
    : loop_(loop), dialogs_(dialogs), settings_(settings), desktop_(std::move(desktop)) {
    isDefaultApplication();
    loadRecents();
    loadRarExecutable();
}

WorkspaceModel::~WorkspaceModel() {
    stopTicker();
    if (rarExecutableAccessed_ && rarExecutableScope_)
        bookmarks::stopAccessing(*rarExecutableScope_);
}

void WorkspaceModel::loadRarExecutable() {
    const auto data = settings_.data(rarExecutableBookmarkKey);
    if (!data)
        return;
    try {
        Path location = bookmarks::resolveBookmark(*data);
        if (!bookmarks::startAccessing(location))
            return;
        rarExecutableScope_ = std::move(location);
        rarExecutableAccessed_ = true;
    } catch (const std::exception&) {
        // A program that moved or vanished is simply asked for again when needed.
    }
}

const std::string& WorkspaceModel::cancellationMessage() {
    static const std::string text = "Operación cancelada. No se guardó ningún resultado parcial.";
    return text;
}

std::string WorkspaceModel::localizedDescription(std::exception_ptr failure) {
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const CancellationError&) {
        return cancellationMessage();
    } catch (const ArchiveFailure& archiveFailure) {
        return archiveFailure.message();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
    }
    return "No se pudo completar la operación";
}

std::shared_ptr<Progress> WorkspaceModel::beginOperation(const std::string& title,
                                                         std::shared_ptr<Progress> progress) {
    // A frame begun over a running one must not leave the old ticker copying a stale fraction.
    stopTicker();
    progress_ = progress;
    setIsBusy(true);
    setIsCancelling(false);
    setFraction(0);
    setOperationTitle(title);
    setStatusMessage(std::nullopt);
    setLastOutput(std::nullopt);

    std::weak_ptr<int> alive = lifetime_;
    ticker_ = loop_.scheduleRepeating(tickerInterval, [this, alive, progress] {
        if (alive.expired() || !progress)
            return;
        setFraction(progress->fractionCompleted());
    });
    return progress;
}

void WorkspaceModel::stopTicker() {
    if (ticker_) {
        loop_.cancelTimer(*ticker_);
        ticker_.reset();
    }
}

void WorkspaceModel::recordSuccess(const std::string& message, std::optional<Path> output) {
    records_.insert(records_.begin(),
                    OperationRecord::make(operationTitle_, message, output, true));
    notifyAlways(WorkspaceField::records);
    setStatusMessage(message);
    setLastOutput(std::move(output));
    endOperation();
}

void WorkspaceModel::recordFailure(std::exception_ptr failure) {
    bool isCancellation = false;
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const ArchiveFailure& archiveFailure) {
        if (archiveFailure.kind() == ArchiveFailure::Case::wrongPassword)
            forgetArchivePassword();
    } catch (const CancellationError&) {
        isCancellation = true;
    } catch (...) {
    }
    const bool cancelled = isCancellation || (progress_ && progress_->isCancelled());
    const std::string message = cancelled ? cancellationMessage() : localizedDescription(failure);

    records_.insert(records_.begin(),
                    OperationRecord::make(operationTitle_, message, std::nullopt, false));
    notifyAlways(WorkspaceField::records);
    if (cancelled)
        setStatusMessage(message);
    else
        setErrorMessage(message);
    endOperation();
}

void WorkspaceModel::endOperation() {
    stopTicker();
    progress_.reset();
    setIsBusy(false);
    setIsCancelling(false);
}

void WorkspaceModel::cancelOperation() {
    setIsCancelling(true);
    if (progress_)
        progress_->cancel();
}

void WorkspaceModel::clearPreview() {
    setPreviewURL(std::nullopt);
    if (previewDirectory_) {
        files::removeItemIgnoringErrors(*previewDirectory_);
        previewDirectory_.reset();
    }
}

void WorkspaceModel::runInFrame(std::function<void(Progress&)> work,
                                std::function<void()> onSuccess, FailureHandler onFailure) {
    // The work holds the progress object itself, so ending the frame early cannot free it
    // under the engine.
    std::shared_ptr<Progress> progress = progress_ ? progress_ : Progress::make();
    std::weak_ptr<int> alive = lifetime_;
    loop_.runInBackground([work = std::move(work), progress] { work(*progress); },
                          [this, alive, progress, onSuccess = std::move(onSuccess),
                           onFailure = std::move(onFailure)](std::exception_ptr failure) {
                              if (alive.expired())
                                  return;
                              if (!failure) {
                                  try {
                                      onSuccess();
                                  } catch (...) {
                                      // Applying a result may fail too; the frame must still end,
                                      // but once it has ended the outcome is already logged and a
                                      // second record would lie, and a frame begun since belongs
                                      // to other work.
                                      if (!isBusy_ || progress_ != progress)
                                          return;
                                      failure = std::current_exception();
                                  }
                              }
                              if (failure) {
                                  if (onFailure)
                                      onFailure(failure);
                                  else
                                      recordFailure(failure);
                              }
                          });
}

} // namespace vexa
