#include "core/archive/ArchiveFailure.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/EngineFactory.h"
#include "engines/FormatDetection.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"
#include "platform/TextRules.h"
#include "platform/WorkFolders.h"

#include <algorithm>

namespace vexa {

namespace {

// A numbered part of a split ZIP set (".z01", ".z02", ...) stands for the set, whose directory
// lives in the last part, the ".zip" file.
std::filesystem::path openTarget(const std::filesystem::path& location) {
    const std::string extension = text::asciiLowercased(paths::pathExtension(location));
    if (extension.rfind("z0", 0) != 0)
        return location;
    std::filesystem::path target = location;
    target.replace_extension("zip");
    return target;
}

bool isPasswordFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ArchiveFailure& archiveFailure) {
        return archiveFailure.kind() == ArchiveFailure::Case::passwordRequired ||
               archiveFailure.kind() == ArchiveFailure::Case::wrongPassword;
    } catch (...) {
    }
    return false;
}

bool isMissingVolume(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ArchiveFailure& archiveFailure) {
        return archiveFailure.kind() == ArchiveFailure::Case::missingVolume;
    } catch (...) {
    }
    return false;
}

} // namespace

void WorkspaceModel::openArchive(const Path& location, std::optional<Path> folder,
                                 std::optional<std::string> password) {
    const Path target = openTarget(location);
    if (isBusy_)
        return;
    std::error_code error;
    if (target != location && !std::filesystem::exists(target, error)) {
        // The part that holds the set's directory is the one missing.
        setErrorMessage(ArchiveFailure::missingVolume(paths::lastPathComponent(target)).message());
        return;
    }
    if (target.empty() || !isSupportedArchive(target)) {
        setErrorMessage(ArchiveFailure::unsupported().message());
        return;
    }
    if (target != location && !folder) {
        requestVolumeFolderAccess(target);
        return;
    }

    OpenRequest request{target, std::move(folder), std::move(password),
                        bookmarks::startAccessing(target)};
    runOperation(
        "Abriendo " + paths::lastPathComponent(target), Progress::make(0),
        [target, password = request.password](Progress& progress) {
            // What a killed edit of an archive here left beside it goes now, not only at the
            // next edit.
            files::sweepLeftoversBeside(target);
            return makeArchiveEngine(target, password)->list(target, progress);
        },
        [this, request](ArchiveSummary summary) { finishOpen(std::move(summary), request); },
        [this, request](std::exception_ptr failure) { handleOpenFailure(failure, request); });
}

void WorkspaceModel::finishOpen(ArchiveSummary summary, const OpenRequest& request) {
    if (archiveScope_)
        bookmarks::stopAccessing(*archiveScope_);
    archiveScope_ = request.accessStarted ? std::optional<Path>(request.target) : std::nullopt;
    if (volumeScope_)
        bookmarks::stopAccessing(*volumeScope_);
    volumeScope_ = request.folder;
    setArchivePassword(request.password);
    clearPreview();

    setArchive(std::move(summary));
    setFolder({});
    setSelection({});
    setSearch({});
    setPage(WorkspacePage::archive);
    rememberRecent(request.target);
    endOperation();
}

void WorkspaceModel::handleOpenFailure(std::exception_ptr failure, const OpenRequest& request) {
    if (request.accessStarted)
        bookmarks::stopAccessing(request.target);
    if (request.folder)
        bookmarks::stopAccessing(*request.folder);

    if (isMissingVolume(failure) && !request.folder) {
        endOperation();
        requestVolumeFolderAccess(request.target);
        return;
    }
    const bool sevenZip = isSevenZipArchive(request.target);
    if ((sevenZip || isRARArchive(request.target)) && isPasswordFailure(failure)) {
        endOperation();
        const std::string title = request.password
                                      ? "Contraseña incorrecta. Inténtalo de nuevo"
                                      : std::string("Contraseña del ") + (sevenZip ? "7z" : "RAR");
        auto typed = promptPassword(title);
        if (!typed)
            return;
        openArchive(request.target, std::nullopt, std::move(typed));
        return;
    }
    recordFailure(failure);
}

void WorkspaceModel::requestVolumeFolderAccess(const Path& target) {
    const Path targetFolder = paths::deletingLastPathComponent(target);
    // Without a sandbox the folder is granted at once: the parts are looked for there, and a
    // part that is missing is reported by name by the open itself.
    if (bookmarks::grantedWithoutAsking(targetFolder) && bookmarks::startAccessing(targetFolder)) {
        openArchive(target, targetFolder, std::nullopt);
        return;
    }
    OpenPanelRequest panel;
    panel.canChooseFiles = false;
    panel.canChooseDirectories = true;
    panel.allowsMultipleSelection = false;
    panel.directory = targetFolder;
    panel.message = "Selecciona la carpeta con el archivo y todas sus partes (.z01, .part2.rar, "
                    ".7z.002…).";
    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return;
    const Path& folder = chosen.front();
    if (paths::standardized(folder) != paths::standardized(targetFolder)) {
        setErrorMessage("Selecciona la carpeta donde está este archivo.");
        return;
    }
    const bool granted = bookmarks::startAccessing(folder);
    openArchive(target, granted ? std::optional<Path>(folder) : std::nullopt, std::nullopt);
}

std::optional<std::string> WorkspaceModel::promptPassword(const std::string& title) {
    AlertRequest alert;
    alert.messageText = title;
    alert.informativeText = "La contraseña se usará solo en memoria durante esta sesión.";
    alert.buttons = {"Continuar", "Cancelar"};
    alert.hasTextField = true;
    alert.secureTextField = true;
    alert.placeholder = "Contraseña";
    const AlertResponse response = dialogs_.runAlert(alert);
    if (response.button != 1000 || response.text.empty())
        return std::nullopt;
    return response.text;
}

void WorkspaceModel::chooseArchiveToOpen() {
    OpenPanelRequest panel;
    panel.prompt = "Abrir archivo";
    panel.canChooseFiles = true;
    panel.canChooseDirectories = false;
    panel.allowsMultipleSelection = false;
    auto allow = [&panel](const std::string& extension) {
        if (extension.empty())
            return;
        auto& types = panel.allowedContentTypes;
        if (std::find(types.begin(), types.end(), extension) == types.end())
            types.push_back(extension);
    };
    for (const char* extension :
         {"zip",  "rar", "z01", "sfx", "exe", "7z",   "001", "tar", "gz",  "tgz", "gzip", "bz2",
          "tbz2", "tbz", "xz",  "txz", "zst", "tzst", "jar", "aar", "war", "ear", "apk",  "aab"})
        allow(extension);
    for (const ContentType& type : handledContentTypes())
        allow(type.preferredFilenameExtension);

    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return;
    openArchive(chosen.front(), std::nullopt, std::nullopt);
}

void WorkspaceModel::showCreatePage() {
    if (!isBusy_)
        setPage(WorkspacePage::create);
}

} // namespace vexa
