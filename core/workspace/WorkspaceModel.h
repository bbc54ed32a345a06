#pragma once

#include "core/archive/ArchiveConflictPolicy.h"
#include "core/archive/ArchiveFormat.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/ArchiveSummary.h"
#include "core/archive/CreationAbilities.h"
#include "core/archive/OperationRecord.h"
#include "core/archive/TarCompression.h"
#include "core/archive/WorkspacePage.h"
#include "core/workspace/DesktopIntegration.h"
#include "core/workspace/ObservationRegistrar.h"
#include "core/workspace/RecentArchive.h"
#include "core/workspace/WorkspaceField.h"
#include "platform/Dialogs.h"
#include "platform/MainLoop.h"
#include "platform/Progress.h"
#include "platform/Secrets.h"
#include "platform/SettingsStore.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vexa {

// The single observable model of the application: the open archive and its browsing state,
// the creation settings, the activity log, the recent archives and the one running operation.
//
// It lives on the main loop's thread: every member is called there only. The engine work of an
// operation runs in one background task that receives copies and shares only the progress
// object. Observed fields notify observers when a setter stores a different value (`archive`
// and `records` always notify); the other fields are bookkeeping observers never see.
class WorkspaceModel {
  public:
    using Path = std::filesystem::path;
    using FailureHandler = std::function<void(std::exception_ptr)>;

    static constexpr const char* recentArchivesKey = "recentArchives";
    static constexpr const char* rarExecutableBookmarkKey = "rarExecutableBookmark";
    static constexpr std::size_t maximumRecents = 8;

    // Takes the initial values, starts the refresh of isDefaultApp (answered later on the loop),
    // loads the recent archives and the chosen rar program from `settings`. The loop, dialogs
    // and settings must outlive the model.
    WorkspaceModel(MainLoop& loop, Dialogs& dialogs, SettingsStore& settings,
                   DesktopIntegration desktop = {});
    ~WorkspaceModel();
    WorkspaceModel(const WorkspaceModel&) = delete;
    WorkspaceModel& operator=(const WorkspaceModel&) = delete;

    Dialogs& dialogs() { return dialogs_; }
    MainLoop& loop() { return loop_; }
    ObservationRegistrar& observation() { return registrar_; }
    const ObservationRegistrar& observation() const { return registrar_; }

    // Observed fields.
    WorkspacePage page() const;
    void setPage(WorkspacePage value);
    const std::optional<ArchiveSummary>& archive() const;
    void setArchive(std::optional<ArchiveSummary> value);
    const std::set<std::string>& selection() const;
    void setSelection(std::set<std::string> value);
    const std::string& folder() const;
    void setFolder(std::string value);
    const std::string& search() const;
    void setSearch(std::string value);
    const std::vector<Path>& sources() const;
    void setSources(std::vector<Path> value);
    bool useCompression() const;
    void setUseCompression(bool value);
    std::int64_t rarLevel() const;
    void setRarLevel(std::int64_t value);
    bool rarSelfExtracting() const;
    void setRarSelfExtracting(bool value);
    bool rarRecoveryRecord() const;
    void setRarRecoveryRecord(bool value);
    std::int64_t sevenZipLevel() const;
    void setSevenZipLevel(std::int64_t value);
    TarCompression tarCompression() const;
    void setTarCompression(TarCompression value);
    std::int64_t tarLevel() const;
    void setTarLevel(std::int64_t value);
    bool tarSingleFile() const;
    void setTarSingleFile(bool value);
    const std::string& archiveName() const;
    void setArchiveName(std::string value);
    ArchiveFormat creationFormat() const;
    void setCreationFormat(ArchiveFormat value);
    // The settings that the creator of `format` honours.
    static CreationAbilities creationAbilities(ArchiveFormat format);
    bool protectWithPassword() const;
    void setProtectWithPassword(bool value);
    bool hideNames() const;
    void setHideNames(bool value);
    const std::string& creationPassword() const;
    void setCreationPassword(std::string value);
    const std::string& passwordConfirmation() const;
    void setPasswordConfirmation(std::string value);
    std::int64_t splitMegabytes() const;
    void setSplitMegabytes(std::int64_t value);
    const std::optional<Path>& previewURL() const;
    void setPreviewURL(std::optional<Path> value);
    bool showInspector() const;
    void setShowInspector(bool value);
    bool isBusy() const;
    void setIsBusy(bool value);
    const std::string& operationTitle() const;
    void setOperationTitle(std::string value);
    double fraction() const;
    void setFraction(double value);
    bool isCancelling() const;
    void setIsCancelling(bool value);
    const std::optional<std::string>& statusMessage() const;
    void setStatusMessage(std::optional<std::string> value);
    const std::optional<std::string>& errorMessage() const;
    void setErrorMessage(std::optional<std::string> value);
    const std::optional<Path>& lastOutput() const;
    void setLastOutput(std::optional<Path> value);
    const std::vector<OperationRecord>& records() const;
    void setRecords(std::vector<OperationRecord> value);
    const std::vector<RecentArchive>& recents() const;
    void setRecents(std::vector<RecentArchive> value);
    bool isDefaultApp() const;
    void setIsDefaultApp(bool value);

    // Bookkeeping fields, never observed.
    const std::optional<std::string>& archivePassword() const { return archivePassword_; }
    void setArchivePassword(std::optional<std::string> value);
    const std::optional<Path>& volumeScope() const { return volumeScope_; }
    void setVolumeScope(std::optional<Path> value) { volumeScope_ = std::move(value); }
    const std::optional<Path>& previewDirectory() const { return previewDirectory_; }
    void setPreviewDirectory(std::optional<Path> value) { previewDirectory_ = std::move(value); }
    const std::shared_ptr<Progress>& progress() const { return progress_; }
    bool hasTicker() const { return ticker_.has_value(); }
    const std::vector<Path>& sourceScopes() const { return sourceScopes_; }
    void setSourceScopes(std::vector<Path> value) { sourceScopes_ = std::move(value); }
    const std::optional<Path>& rarExecutableScope() const { return rarExecutableScope_; }
    void setRarExecutableScope(std::optional<Path> value) {
        rarExecutableScope_ = std::move(value);
    }
    bool rarExecutableAccessed() const { return rarExecutableAccessed_; }
    void setRarExecutableAccessed(bool value) { rarExecutableAccessed_ = value; }
    const std::optional<Path>& archiveScope() const { return archiveScope_; }
    void setArchiveScope(std::optional<Path> value) { archiveScope_ = std::move(value); }
    std::int64_t exportRemaining() const { return exportRemaining_; }
    void setExportRemaining(std::int64_t value) { exportRemaining_ = value; }
    const std::vector<std::string>& exportErrors() const { return exportErrors_; }
    void setExportErrors(std::vector<std::string> value) { exportErrors_ = std::move(value); }
    std::int64_t exportedCount() const { return exportedCount_; }
    void setExportedCount(std::int64_t value) { exportedCount_ = value; }
    const std::optional<Path>& signedWarningAccepted() const { return signedWarningAccepted_; }
    void setSignedWarningAccepted(std::optional<Path> value) {
        signedWarningAccepted_ = std::move(value);
    }

    // Operation frame.

    // Makes `progress` the running operation's, marks the model busy, clears the status message
    // and the last output (the error message stays) and starts the ticker that copies the
    // progress fraction into `fraction` every 0.1 s. Gives `progress` back.
    std::shared_ptr<Progress> beginOperation(const std::string& title,
                                             std::shared_ptr<Progress> progress);
    // Logs a success under the operation's title, shows `message` in the status bar, ends.
    void recordSuccess(const std::string& message, std::optional<Path> output);
    // Logs a failure and shows it: a cancellation in the status bar, anything else in the error
    // alert. A wrong password is forgotten. Ends the operation.
    void recordFailure(std::exception_ptr failure);
    void endOperation();
    // Marks the model cancelling and cancels the progress object; the work itself stops when it
    // sees the cancelled progress, and its failure reports the cancellation.
    void cancelOperation();
    // Closes the preview and removes its folder.
    void clearPreview();

    // Begins the frame, runs `work(Progress&)` in one background task, and back on the main
    // thread calls `onSuccess` with its result (nothing for void work) or `onFailure` (default:
    // recordFailure) with what it threw. `work` must capture copies only. Results arriving
    // after the model is gone are dropped.
    template <typename Work, typename Success>
    void runOperation(const std::string& title, std::shared_ptr<Progress> progress, Work work,
                      Success onSuccess, FailureHandler onFailure = {});

    // The text an operation's failure shows: an ArchiveFailure's message, the description of
    // any other exception, the cancellation text for a cancellation.
    static std::string localizedDescription(std::exception_ptr failure);
    static const std::string& cancellationMessage();

    // Opening.

    // Lists the archive in the background and, on success, makes it the open archive and shows
    // the archive page. A numbered split ZIP part opens the set's last part; without a folder
    // grant it first asks for the folder of the parts. An encrypted RAR or 7z listing asks for
    // the password and opens again; a missing volume asks for the folder. Nothing while busy.
    void openArchive(const Path& location, std::optional<Path> folder = std::nullopt,
                     std::optional<std::string> password = std::nullopt);
    // The open panel for one archive file.
    void chooseArchiveToOpen();
    void showCreatePage();

    // Extraction, preview and drag export.

    // The first visible row, in display order, whose path is selected.
    std::optional<ArchiveItem> selectedItem() const;
    // True when entry data may be read now; asks for the password of an archive with encrypted
    // entries unless one is held. False only when the user cancelled the prompt.
    bool ensureArchivePassword();
    // Extracts the selection (or everything) into a new folder inside the folder the user picks.
    void extractEntries(bool selectionOnly);
    // Extracts the one selected file into a private temporary folder and publishes it in
    // previewURL; entries over previewSizeLimit are refused.
    void previewEntry();
    // One completion of a drag to the file manager (`failure` is the item's error text, none on
    // success); the last one logs the whole drag and ends its operation.
    void finishDragExportItem(const std::optional<std::string>& failure, const Path& written);

    static constexpr std::int64_t previewSizeLimit = 104857600;

    // Dropped files.

    // Adds the files to the open archive, opens one dropped archive, or lists the files as
    // creation sources, by the page shown and what was dropped. False when the drop is refused.
    bool handleDroppedURLs(const std::vector<Path>& locations);

    // Creating archives.

    // Lists the locations as creation sources (each once, access started) and shows the create
    // page. Nothing while busy.
    void addSources(const std::vector<Path>& locations);
    // Drops every equal source and stops the access started for it. Nothing while busy.
    void removeSource(const Path& location);
    // Drops every source and stops every access started for them. Nothing while busy.
    void clearSources();
    // The text shown after the name field: the extension the new archive will get.
    std::string outputNameSuffix() const;
    // True when TAR writes the one source file compressed by itself, without a container.
    bool singleFileMode() const;
    // Checks the settings (a refusal only sets errorMessage), asks for the destination and
    // writes the archive of `creationFormat` from `sources` in the background.
    void createArchive();
    // When no rar program is at hand, asks once for the one the user installed, keeps access to
    // it for the run and stores its bookmark. False when the user cancelled.
    bool chooseRarProgram();

    // Editing the open archive. A refusal to edit (split set, single compressed file, Android
    // package, RAR without a rar program) only sets errorMessage; after a successful edit the
    // archive is listed again and the selection emptied.

    void renameEntry();
    void deleteEntries();
    // The open panel: into the open archive on the archive page, else to the creation sources.
    void chooseFilesToAdd();
    // Adds files and folders into `target` ("" for the root, else a folder path ending in "/").
    // A name already taken asks what to do with the repeated names and retries.
    void addFiles(const std::vector<Path>& locations, const std::string& target);
    // True when the archive is not signed, or the user agreed (once per archive) to break it.
    bool confirmSignedArchiveChange(const ArchiveSummary& summary);

    // Writes a repaired copy of a damaged RAR the user picks; the picked file is never changed.
    void repairRarArchive();
    // Writes the open (split) archive as one file of its format where the user says.
    void joinVolumesToSingleFile();

    // Recent archives.

    // Puts the archive first in `recents` (with the folder of `volumeScope`, if any) and stores
    // the list; a bookmark that cannot be made leaves everything as it was.
    void rememberRecent(const Path& location);

    struct RecentLocation {
        Path archive;
        std::optional<Path> folder; // given only when access to it started
    };
    // What the home page opens for a recent entry: the archive and, when its folder bookmark
    // resolves and access starts, the folder of its volumes. Nothing, with the error message
    // set, when the archive's bookmark no longer resolves.
    std::optional<RecentLocation> resolveRecent(const RecentArchive& recent);

    // Browsing.

    // The rows of `folder` (derived folder rows first) or, while `search` is not empty, every
    // matching entry of the archive; in display order.
    std::vector<ArchiveItem> visibleRows() const;
    // Folders before files, then the file manager's order of the paths.
    static bool rowOrder(const ArchiveItem& a, const ArchiveItem& b);

    // Default application.

    // Built on first use and kept: ZIP, then every other archive type the MIME database knows.
    const std::vector<ContentType>& handledContentTypes();
    // Blocks while the desktop tool runs.
    bool opensByDefault(const ContentType& type) const;
    // Refreshes isDefaultApp: the desktop is asked in one background task and the answer is
    // stored on the main thread (unless a newer refresh has begun meanwhile); then `then` runs
    // there with this refresh's own answer.
    void isDefaultApplication(std::function<void(bool)> then = {});
    // Asks the desktop to open every handled type with this program, one request at a time in
    // the background, then refreshes isDefaultApp and reports in the status bar or the error
    // alert. `finished` runs on the main thread at the very end.
    void registerAsDefaultApp(std::function<void()> finished = {});

  private:
    template <typename T> void update(WorkspaceField field, T& stored, T&& value);
    // Sets a password field, wiping the text it replaces.
    void updateSecret(WorkspaceField field, std::string& stored, std::string&& value);
    // Forgets the archive's password, wiping it.
    void forgetArchivePassword();
    // Keeps the process non-dumpable exactly while the model holds a password.
    void passwordsChanged();
    void notifyAlways(WorkspaceField field) { registrar_.didChange(field); }
    void runInFrame(std::function<void(Progress&)> work, std::function<void()> onSuccess,
                    FailureHandler onFailure);
    struct OpenRequest {
        Path target;
        std::optional<Path> folder;
        std::optional<std::string> password;
        bool accessStarted = false;
    };
    void requestVolumeFolderAccess(const Path& target);
    void finishOpen(ArchiveSummary summary, const OpenRequest& request);
    void handleOpenFailure(std::exception_ptr failure, const OpenRequest& request);
    // The typed password, or nothing when the user cancelled or typed nothing.
    std::optional<std::string> promptPassword(const std::string& title);
    // Sets errorMessage and gives false when the open archive may not be edited.
    bool checkEditable();
    using EditChange = std::function<Path(const ArchiveSummary&,
                                          const std::optional<std::string>& password, Progress&)>;
    void runEdit(const std::string& title, EditChange change);
    struct AddRequest {
        ArchiveSummary summary;
        std::optional<std::string> password;
        std::vector<Path> locations;
        std::string target;
        std::vector<Path> granted; // locations whose access this add started
    };
    void runAddAttempt(std::shared_ptr<const AddRequest> request, ArchiveConflictPolicy policy);
    void finishAdd(const AddRequest& request);
    void loadRecents();
    void loadRarExecutable();
    // `obstacle`: why the desktop file could not be made visible, when it could not.
    void registerNext(std::size_t index, std::shared_ptr<std::vector<std::string>> failed,
                      std::optional<std::string> obstacle, std::function<void()> finished);
    void stopTicker();

    MainLoop& loop_;
    Dialogs& dialogs_;
    SettingsStore& settings_;
    DesktopIntegration desktop_;
    // Background results and timers check this to know the model still exists.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

    WorkspacePage page_ = WorkspacePage::home;
    std::optional<ArchiveSummary> archive_;
    std::set<std::string> selection_;
    std::string folder_;
    std::string search_;
    std::vector<Path> sources_;
    bool useCompression_ = true;
    std::int64_t rarLevel_ = 3;
    bool rarSelfExtracting_ = false;
    bool rarRecoveryRecord_ = false;
    std::int64_t sevenZipLevel_ = 5;
    TarCompression tarCompression_ = TarCompression::gzip;
    std::int64_t tarLevel_ = 6;
    bool tarSingleFile_ = false;
    std::string archiveName_ = "Archivo";
    ArchiveFormat creationFormat_ = ArchiveFormat::zip;
    bool protectWithPassword_ = false;
    bool hideNames_ = true;
    std::string creationPassword_;
    std::string passwordConfirmation_;
    std::int64_t splitMegabytes_ = 0;
    std::optional<Path> previewURL_;
    std::optional<std::string> archivePassword_;
    std::optional<secrets::NonDumpable> passwordHold_;
    std::optional<Path> volumeScope_;
    std::optional<Path> previewDirectory_;
    bool showInspector_ = true;
    bool isBusy_ = false;
    std::string operationTitle_;
    double fraction_ = 0;
    bool isCancelling_ = false;
    std::optional<std::string> statusMessage_;
    std::optional<std::string> errorMessage_;
    std::optional<Path> lastOutput_;
    std::vector<OperationRecord> records_;
    std::vector<RecentArchive> recents_;
    std::shared_ptr<Progress> progress_;
    std::optional<std::uint64_t> ticker_; // the loop's timer
    std::vector<Path> sourceScopes_;
    std::optional<Path> rarExecutableScope_;
    bool rarExecutableAccessed_ = false;
    std::optional<Path> archiveScope_;
    std::int64_t exportRemaining_ = 0;
    std::vector<std::string> exportErrors_;
    std::int64_t exportedCount_ = 0;
    bool isDefaultApp_ = false;
    std::optional<Path> signedWarningAccepted_;
    ObservationRegistrar registrar_;

    std::optional<std::vector<ContentType>> handledContentTypes_;
    std::uint64_t defaultAppChecks_ = 0; // refreshes of isDefaultApp begun so far
};

template <typename Work, typename Success>
void WorkspaceModel::runOperation(const std::string& title, std::shared_ptr<Progress> progress,
                                  Work work, Success onSuccess, FailureHandler onFailure) {
    using Result = std::invoke_result_t<Work&, Progress&>;
    beginOperation(title, std::move(progress));
    if constexpr (std::is_void_v<Result>) {
        runInFrame(std::move(work), std::move(onSuccess), std::move(onFailure));
    } else {
        auto result = std::make_shared<std::optional<Result>>();
        runInFrame(
            [result, work = std::move(work)](Progress& p) mutable { result->emplace(work(p)); },
            [result, onSuccess = std::move(onSuccess)]() mutable {
                onSuccess(std::move(**result));
            },
            std::move(onFailure));
    }
}

} // namespace vexa
