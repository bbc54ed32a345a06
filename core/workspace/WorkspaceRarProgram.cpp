#include "core/workspace/WorkspaceModel.h"
#include "platform/Bookmarks.h"

namespace vexa {

bool WorkspaceModel::chooseRarProgram() {
    if (rarExecutableScope_)
        return true;
    OpenPanelRequest panel;
    panel.canChooseFiles = true;
    panel.canChooseDirectories = false;
    panel.allowsMultipleSelection = false;
    panel.directory = Path("/opt/rar/");
    panel.message = "Selecciona el programa RAR oficial instalado en este equipo. Solo se necesita "
                    "hacerlo una vez.";
    panel.prompt = "Usar RAR";
    const auto chosen = dialogs_.runOpenPanel(panel);
    if (chosen.empty())
        return false;
    const Path& program = chosen.front();
    const bool accessed = bookmarks::startAccessing(program);
    rarExecutableScope_ = program;
    rarExecutableAccessed_ = accessed;
    try {
        settings_.setData(rarExecutableBookmarkKey, bookmarks::bookmarkData(program));
    } catch (const std::exception&) {
        // Without a bookmark the choice still holds for this run; the next run asks again.
    }
    return true;
}

} // namespace vexa
