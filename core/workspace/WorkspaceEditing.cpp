#include "core/archive/ArchiveFailure.h"
#include "core/archive/JavaArchive.h"
#include "core/archive/LockedRAR.h"
#include "core/workspace/ArchiveEdits.h"
#include "core/workspace/WorkspaceModel.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"
#include "platform/PlatformError.h"

#include <algorithm>

namespace vexa {

namespace {

// The name shown for a row: a folder row's path ends in "/".
std::string entryName(const std::string& path) {
    std::string trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::optional<std::string> conflictName(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ArchiveFailure& archiveFailure) {
        if (archiveFailure.kind() == ArchiveFailure::Case::conflict)
            return archiveFailure.payload();
    } catch (...) {
    }
    return std::nullopt;
}

} // namespace

bool WorkspaceModel::checkEditable() {
    const ArchiveSummary& summary = *archive_;
    std::optional<ArchiveFailure> refusal;
    if (summary.volumes.size() > 1)
        refusal = ArchiveFailure::splitEditing();
    else if (summary.isLocked)
        refusal = lockedRARFailure();
    else if (summary.isEditable())
        return true;
    else if (summary.singleFile)
        refusal = ArchiveFailure::readOnlySingle();
    else if (!isEditableJavaKind(summary.java))
        refusal = ArchiveFailure::readOnlyAndroid();
    else
        refusal = ArchiveFailure::readOnlyRAR();
    setErrorMessage(refusal->message());
    return false;
}

bool WorkspaceModel::confirmSignedArchiveChange(const ArchiveSummary& summary) {
    if (!summary.isSigned)
        return true;
    if (signedWarningAccepted_ == summary.url)
        return true;
    AlertRequest alert;
    alert.warningStyle = true;
    alert.messageText = "Este " + summary.kindLabel() + " está firmado";
    alert.informativeText = "Al modificarlo, su firma dejará de ser válida y Java o Android "
                            "podrían rechazarlo. Puedes firmarlo de nuevo después con jarsigner o "
                            "apksigner.";
    alert.buttons = {"Modificar de todos modos", "Cancelar"};
    if (dialogs_.runAlert(alert).button != 1000)
        return false;
    signedWarningAccepted_ = summary.url;
    return true;
}

void WorkspaceModel::renameEntry() {
    if (isBusy_ || selection_.size() != 1)
        return;
    const std::optional<ArchiveItem> item = selectedItem();
    if (!item || !archive_)
        return;
    if (!checkEditable() || !confirmSignedArchiveChange(*archive_))
        return;
    if (archive_->format != ArchiveFormat::zip && !ensureArchivePassword())
        return;

    const std::string name = entryName(item->path);
    AlertRequest alert;
    alert.messageText = "Renombrar «" + name + "»";
    alert.hasTextField = true;
    alert.initialText = name;
    alert.buttons = {"Renombrar", "Cancelar"};
    const AlertResponse response = dialogs_.runAlert(alert);
    if (response.button != 1000)
        return;
    const std::string newName = response.text;
    if (newName == name)
        return;
    runEdit("Renombrando", [entry = *item, newName](const ArchiveSummary& summary,
                                                    const std::optional<std::string>& password,
                                                    Progress& progress) {
        return renameInArchive(summary, password, progress, entry, newName);
    });
}

void WorkspaceModel::deleteEntries() {
    if (isBusy_ || selection_.empty() || !archive_)
        return;
    if (!checkEditable() || !confirmSignedArchiveChange(*archive_))
        return;
    if (archive_->format != ArchiveFormat::zip && !ensureArchivePassword())
        return;

    const std::string kind = archive_->kindLabel();
    AlertRequest alert;
    alert.warningStyle = true;
    alert.messageText =
        "¿Eliminar " + std::to_string(selection_.size()) + " elemento(s) del " + kind + "?";
    alert.informativeText = "Las carpetas seleccionadas incluyen todo su contenido. Esta acción "
                            "modifica el " +
                            kind + " y no se puede deshacer.";
    alert.buttons = {"Cancelar", "Eliminar"};
    if (dialogs_.runAlert(alert).button != 1001)
        return;
    runEdit("Eliminando del " + kind,
            [paths = selection_](const ArchiveSummary& summary,
                                 const std::optional<std::string>& password, Progress& progress) {
                return deleteFromArchive(summary, password, progress, paths);
            });
}

void WorkspaceModel::runEdit(const std::string& title, EditChange change) {
    if (!archive_)
        return;
    clearPreview();
    const std::optional<std::string> password = archivePassword_;
    // Moved into the work, not copied at each hand-over: a listing can hold many entries.
    ArchiveSummary summary = *archive_;
    runOperation(
        title, Progress::make(0),
        [summary = std::move(summary), password, change = std::move(change)](Progress& progress) {
            const Path edited = change(summary, password, progress);
            return relistArchive(edited, password);
        },
        [this](ArchiveSummary fresh) {
            const std::string message = fresh.kindLabel() + " actualizado";
            const Path url = fresh.url;
            setArchive(std::move(fresh));
            setSelection({});
            recordSuccess(message, url);
        });
}

void WorkspaceModel::chooseFilesToAdd() {
    if (isBusy_)
        return;
    OpenPanelRequest panel;
    panel.canChooseFiles = true;
    panel.canChooseDirectories = true;
    panel.allowsMultipleSelection = true;
    panel.prompt = "Añadir";
    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return;
    if (page_ == WorkspacePage::archive && archive_)
        addFiles(chosen, folder_);
    else
        addSources(chosen);
}

void WorkspaceModel::addFiles(const std::vector<Path>& locations, const std::string& target) {
    if (isBusy_ || !archive_ || locations.empty() ||
        std::any_of(locations.begin(), locations.end(),
                    [](const Path& location) { return !location.is_absolute(); }))
        return;
    if (!checkEditable() || !confirmSignedArchiveChange(*archive_) || !ensureArchivePassword())
        return;

    auto request = std::make_shared<AddRequest>();
    request->summary = *archive_;
    request->password = archivePassword_;
    request->locations = locations;
    request->target = target;
    for (const Path& location : locations)
        if (bookmarks::startAccessing(location))
            request->granted.push_back(location);

    beginOperation("Añadiendo archivos a " + paths::lastPathComponent(archive_->url),
                   Progress::make(0));
    runAddAttempt(std::move(request), ArchiveConflictPolicy::ask);
}

void WorkspaceModel::runAddAttempt(std::shared_ptr<const AddRequest> request,
                                   ArchiveConflictPolicy policy) {
    auto fresh = std::make_shared<std::optional<ArchiveSummary>>();
    runInFrame(
        [request, policy, fresh](Progress& progress) {
            const Path edited = addToArchive(request->summary, request->password, progress,
                                             request->locations, request->target, policy);
            fresh->emplace(relistArchive(edited, request->password));
        },
        [this, request, fresh] {
            ArchiveSummary summary = std::move(**fresh);
            const std::string message = summary.kindLabel() + " actualizado";
            const Path url = summary.url;
            setArchive(std::move(summary));
            setSelection({});
            rememberRecent(url);
            recordSuccess(message, url);
            finishAdd(*request);
        },
        [this, request](std::exception_ptr failure) {
            const auto name = conflictName(failure);
            if (!name || (progress_ && progress_->isCancelled())) {
                recordFailure(failure);
                finishAdd(*request);
                return;
            }
            AlertRequest alert;
            alert.messageText = "Ya existe «" + *name + "»";
            alert.informativeText = "Elige qué hacer con los nombres repetidos de esta "
                                    "operación. Reemplazar una carpeta sustituye todo su "
                                    "contenido.";
            alert.buttons = {"Conservar ambos", "Reemplazar", "Omitir repetidos", "Cancelar"};
            switch (dialogs_.runAlert(alert).button) {
            case 1000:
                runAddAttempt(request, ArchiveConflictPolicy::keepBoth);
                return;
            case 1001:
                runAddAttempt(request, ArchiveConflictPolicy::replace);
                return;
            case 1002:
                runAddAttempt(request, ArchiveConflictPolicy::skip);
                return;
            default:
                recordFailure(std::make_exception_ptr(CancellationError()));
                finishAdd(*request);
            }
        });
}

void WorkspaceModel::finishAdd(const AddRequest& request) {
    for (const Path& location : request.granted)
        bookmarks::stopAccessing(location);
}

} // namespace vexa
