#include "core/archive/ArchiveFailure.h"
#include "core/archive/RarLocator.h"
#include "core/workspace/EditableCopy.h"
#include "core/workspace/WorkspaceModel.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <regex>

namespace vexa {

namespace {

// The set's name without its volume numbering: fotos.part1.rar and fotos.7z.001 give fotos.
std::string joinedName(const std::filesystem::path& archive, ArchiveFormat format) {
    std::string name = paths::nameDeletingExtension(paths::lastPathComponent(archive));
    if (format == ArchiveFormat::rar) {
        static const std::regex volumeNumber(R"(\.part\d+$)");
        name = std::regex_replace(name, volumeNumber, "", std::regex_constants::format_first_only);
    } else if (format == ArchiveFormat::sevenZip) {
        const std::string lowered = text::lowercased(name);
        if (lowered.size() >= 3 && lowered.compare(lowered.size() - 3, 3, ".7z") == 0)
            name.erase(name.size() - 3);
    }
    return name + " — único." + text::lowercased(rawValue(format));
}

} // namespace

void WorkspaceModel::joinVolumesToSingleFile() {
    if (isBusy_ || !archive_)
        return;
    const ArchiveFormat format = archive_->format;
    if (format == ArchiveFormat::rar && !locateRARExecutable()) {
        setErrorMessage(ArchiveFailure::readOnlyRAR().message());
        return;
    }
    if (format != ArchiveFormat::zip && !ensureArchivePassword())
        return;

    const Path archive = archive_->url;
    SavePanelRequest panel;
    panel.nameFieldStringValue = joinedName(archive, format);
    panel.allowedContentTypes = {text::lowercased(rawValue(format))};
    const auto chosen = dialogs_.runSavePanel(panel);
    if (!chosen)
        return;
    const Path destination = *chosen;
    const bool accessed = bookmarks::startAccessing(destination);
    auto stopAccess = [destination, accessed] {
        if (accessed)
            bookmarks::stopAccessing(destination);
    };

    const std::string name = rawValue(format);
    runOperation(
        "Guardando " + name + " único", Progress::make(0),
        [format, archive, destination, password = archivePassword_](Progress& progress) {
            saveEditableCopy(format, archive, destination, progress, password);
        },
        [this, name, destination, stopAccess] {
            recordSuccess("Copia guardada. Abre el nuevo " + name + " para editarlo.", destination);
            stopAccess();
        },
        [this, stopAccess](std::exception_ptr failure) {
            recordFailure(failure);
            stopAccess();
        });
}

} // namespace vexa
