// Dragging entries out to a folder: what the file manager's promises of the window do, one
// single-entry extraction per entry, each reported to the model as it completes.
#include "core/workspace/SingleEntryExtraction.h"
#include "platform/Paths.h"
#include "ui/TerminalSession.h"

namespace vexa {

namespace {

// A file promise is never written over an item already in the folder: like the file manager,
// the drag takes the first free name among "name", "name 2", "name 3"...
std::filesystem::path freeLocation(const std::filesystem::path& folder, const std::string& name) {
    std::error_code error;
    auto candidate = folder / name;
    const std::string base = paths::nameDeletingExtension(name);
    const std::string extension = paths::nameExtension(name);
    for (int number = 2; std::filesystem::exists(std::filesystem::symlink_status(candidate, error));
         ++number) {
        std::string numbered = base + " " + std::to_string(number);
        if (!extension.empty())
            numbered += "." + extension;
        candidate = folder / numbered;
    }
    return candidate;
}

} // namespace

void TerminalSession::dragOut(const std::vector<ArchiveItem>& items, const Path& folder) {
    if (model_.isBusy() || !model_.archive() || items.empty())
        return;
    if (!model_.ensureArchivePassword())
        return;
    const auto count = static_cast<std::int64_t>(items.size());
    model_.setExportRemaining(count);
    model_.setExportErrors({});
    model_.setExportedCount(0);
    auto progress = model_.beginOperation("Extrayendo " + std::to_string(count) +
                                              " elemento(s) al gestor de archivos",
                                          Progress::make(count));
    writePromise(std::make_shared<const std::vector<ArchiveItem>>(items), 0, model_.archive()->url,
                 folder, progress);
}

void TerminalSession::writePromise(std::shared_ptr<const std::vector<ArchiveItem>> items,
                                   std::size_t index, Path archive, Path folder,
                                   std::shared_ptr<Progress> progress) {
    const ArchiveItem entry = (*items)[index];
    const Path destination = freeLocation(folder, paths::lastPathComponent(entry.path));
    const auto password = model_.archivePassword();
    auto child = Progress::make();
    progress->addChild(child, 1);
    model_.loop().runInBackground(
        [entry, archive, destination, password, child] {
            extractSingleEntry(entry, archive, destination, *child, std::nullopt, password);
        },
        [this, items, index, archive, folder, destination, progress](std::exception_ptr failure) {
            std::optional<std::string> text;
            if (failure)
                text = WorkspaceModel::localizedDescription(failure);
            model_.finishDragExportItem(text, destination);
            if (index + 1 < items->size())
                writePromise(items, index + 1, archive, folder, progress);
        });
}

} // namespace vexa
