#include "core/archive/RarLocator.h"
#include "core/workspace/WorkspaceModel.h"
#include "engines/EngineFactory.h"
#include "platform/Bookmarks.h"
#include "platform/Paths.h"

namespace vexa {

void WorkspaceModel::repairRarArchive() {
    if (isBusy_ || !locateRARExecutable())
        return;

    OpenPanelRequest panel;
    panel.canChooseFiles = true;
    panel.canChooseDirectories = false;
    panel.allowsMultipleSelection = false;
    panel.allowedContentTypes = {"rar", "sfx"};
    panel.prompt = "Reparar";
    panel.message = "Elige el RAR dañado. Se guardará una copia reparada; el original no se "
                    "modifica.";
    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return;
    const Path damaged = chosen.front();

    std::optional<std::string> password;
    if (makeArchiveEditor(ArchiveFormat::rar, std::nullopt)->hidesNames(damaged)) {
        password = promptPassword("Contraseña del RAR");
        if (!password)
            return;
    }

    SavePanelRequest save;
    save.allowedContentTypes = {"rar"};
    save.nameFieldStringValue =
        paths::nameDeletingExtension(paths::lastPathComponent(damaged)) + " — reparado.rar";
    save.directory = paths::deletingLastPathComponent(damaged);
    const auto output = dialogs_.runSavePanel(save);
    if (!output)
        return;

    const bool damagedAccessed = bookmarks::startAccessing(damaged);
    const bool outputAccessed = bookmarks::startAccessing(*output);
    auto stopAccess = [damaged, output = *output, damagedAccessed, outputAccessed] {
        if (damagedAccessed)
            bookmarks::stopAccessing(damaged);
        if (outputAccessed)
            bookmarks::stopAccessing(output);
    };
    runOperation(
        "Reparando " + paths::lastPathComponent(damaged), Progress::make(0),
        [damaged, output = *output, password](Progress& progress) {
            return makeArchiveEditor(ArchiveFormat::rar, password)
                ->repair(damaged, output, progress);
        },
        [this, stopAccess](std::pair<Path, bool> result) {
            recordSuccess(result.second ? "RAR reparado"
                                        : "RAR reconstruido: solo se recuperaron los archivos "
                                          "sanos",
                          result.first);
            stopAccess();
        },
        [this, stopAccess](std::exception_ptr failure) {
            recordFailure(failure);
            stopAccess();
        });
}

} // namespace vexa
