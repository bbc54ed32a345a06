#include "core/archive/ArchiveFailure.h"
#include "core/archive/ExtractionSpace.h"
#include "core/workspace/SingleEntryExtraction.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/EngineFactory.h"
#include "platform/Bookmarks.h"
#include "platform/FileOperations.h"
#include "platform/Paths.h"
#include "platform/WorkFolders.h"

#include <algorithm>

namespace vexa {

std::optional<ArchiveItem> WorkspaceModel::selectedItem() const {
    const auto& chosen = selection();
    for (ArchiveItem& row : visibleRows())
        if (chosen.count(row.path))
            return std::move(row);
    return std::nullopt;
}

bool WorkspaceModel::ensureArchivePassword() {
    if (!archive_)
        return true;
    const auto& entries = archive_->entries;
    if (std::none_of(entries.begin(), entries.end(),
                     [](const ArchiveItem& entry) { return entry.isEncrypted; }))
        return true;
    if (archivePassword_)
        return true;
    auto typed = promptPassword("Contraseña del " +
                                (archive_ ? rawValue(archive_->format) : std::string("archivo")));
    if (!typed)
        return false;
    setArchivePassword(std::move(typed));
    return true;
}

void WorkspaceModel::extractEntries(bool selectionOnly) {
    if (isBusy_ || !archive_ || (selectionOnly && selection_.empty()))
        return;
    const Path archiveURL = archive_->url;
    if (!ensureArchivePassword())
        return;
    const std::optional<std::string> password = archivePassword_;

    OpenPanelRequest panel;
    panel.canChooseFiles = false;
    panel.canChooseDirectories = true;
    panel.allowsMultipleSelection = false;
    panel.prompt = "Extraer aquí";
    panel.message = "Se creará una carpeta nueva. Tus archivos existentes se conservarán.";
    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return;
    const Path destination = chosen.front();
    const bool granted = bookmarks::startAccessing(destination);
    auto stopAccess = [destination, granted] {
        if (granted)
            bookmarks::stopAccessing(destination);
    };

    std::string title;
    std::set<std::string> items;
    if (selectionOnly) {
        title = "Extrayendo selección";
        items = selection_;
    } else {
        title = "Extrayendo " + paths::lastPathComponent(archiveURL);
    }

    const std::uint64_t bytes = listedBytes(archive_->entries, items);
    runOperation(
        title, Progress::make(0),
        [archiveURL, password, items, destination, bytes](Progress& progress) {
            // A killed edit's copy beside the archive may hold the room the extraction needs.
            files::sweepLeftoversBeside(archiveURL);
            ensureRoomForExtraction(bytes, destination);
            return makeArchiveEngine(archiveURL, password)
                ->extract(archiveURL, items, destination, progress);
        },
        [this, stopAccess](Path created) {
            recordSuccess("Extracción completada", std::move(created));
            stopAccess();
        },
        [this, stopAccess](std::exception_ptr failure) {
            recordFailure(failure);
            stopAccess();
        });
}

void WorkspaceModel::previewEntry() {
    if (isBusy_ || selection_.size() != 1 || !archive_)
        return;
    const std::optional<ArchiveItem> item = selectedItem();
    if (!item || item->isDirectory)
        return;
    if (!ensureArchivePassword())
        return;
    clearPreview();
    const std::optional<std::string> password = archivePassword_;
    const Path archiveURL = archive_->url;

    const Path folder = paths::temporaryDirectory() / ("Vexa-preview-" + files::newUUIDString());
    const Path file = folder / paths::lastPathComponent(item->path);

    beginOperation("Preparando vista previa", Progress::make(0));
    try {
        files::createDirectory(folder, 0700);
    } catch (...) {
        // Nothing of ours exists at the folder's place, so there is nothing to remove.
        recordFailure(std::current_exception());
        return;
    }
    runInFrame(
        [entry = *item, archiveURL, file, password](Progress& progress) {
            extractSingleEntry(entry, archiveURL, file, progress, previewSizeLimit, password);
        },
        [this, folder, file] {
            previewDirectory_ = folder;
            recordSuccess("Vista previa lista", std::nullopt);
            setPreviewURL(file);
        },
        [this, folder](std::exception_ptr failure) {
            files::removeItemIgnoringErrors(folder);
            recordFailure(failure);
        });
}

void WorkspaceModel::finishDragExportItem(const std::optional<std::string>& failure,
                                          const Path& written) {
    if (exportRemaining_ <= 0)
        return;
    if (failure) {
        exportErrors_.push_back(*failure);
        if (*failure == ArchiveFailure::wrongPassword().message())
            forgetArchivePassword();
    } else {
        ++exportedCount_;
    }
    if (--exportRemaining_ != 0)
        return;

    const std::string count = std::to_string(exportedCount_);
    if (exportErrors_.empty()) {
        recordSuccess(count + " elemento(s) extraído(s) al gestor de archivos",
                      paths::deletingLastPathComponent(written));
        return;
    }
    const std::string message =
        "Se extrajeron " + count + " elemento(s). " +
        (progress_ && progress_->isCancelled() ? std::string("La extracción se canceló.")
                                               : exportErrors_.front());
    records_.insert(records_.begin(),
                    OperationRecord::make(operationTitle_, message, std::nullopt, false));
    notifyAlways(WorkspaceField::records);
    setErrorMessage(message);
    endOperation();
}

} // namespace vexa
