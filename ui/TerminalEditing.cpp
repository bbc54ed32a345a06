// The archive menu's editing commands on the terminal.
#include "core/archive/WorkspacePage.h"
#include "ui/CommandWords.h"
#include "ui/TerminalSession.h"

#include <ostream>

namespace vexa {

bool TerminalSession::addsToOpenArchive() const {
    return model_.page() == WorkspacePage::archive && model_.archive().has_value();
}

bool TerminalSession::requireArchiveNamed(const char* form, std::size_t least, std::size_t most,
                                          std::size_t given) {
    if (given < least || given > most) {
        usage(std::string("Uso: ") + form);
        return false;
    }
    return requireArchive();
}

bool TerminalSession::dispatchEditing(const std::string& name,
                                      const std::vector<std::string>& words) {
    const std::size_t arguments = words.size() - 1;
    if (name == "renombrar") {
        if (!requireArchiveNamed("renombrar n [nombre nuevo]", 1, 2, arguments))
            return true;
        if (const auto rows = rowsNamed({words[1]})) {
            model_.setSelection({rows->front().path});
            if (arguments == 2)
                dialogs_.presetText(words[2]);
            model_.renameEntry();
            dialogs_.clearPresetText();
        }
    } else if (name == "eliminar") {
        if (!requireArchiveNamed("eliminar n…", 1, words.size(), arguments))
            return true;
        if (const auto rows = rowsNamed({words.begin() + 1, words.end()})) {
            std::set<std::string> selection;
            for (const auto& row : *rows)
                selection.insert(row.path);
            model_.setSelection(std::move(selection));
            model_.deleteEntries();
        }
    } else if (name == "anadir") {
        // Always into the open archive, whatever page was shown last.
        if (!model_.archive()) {
            usage("No hay ningún archivo abierto; «anadir-fuente ruta…» añade fuentes para "
                  "crear uno.");
            return true;
        }
        model_.setPage(WorkspacePage::archive);
        if (arguments == 0) {
            model_.chooseFilesToAdd();
            return true;
        }
        std::vector<Path> locations;
        for (std::size_t i = 1; i < words.size(); ++i)
            locations.push_back(TerminalDialogs::locationFromTyped(words[i]));
        if (existingLocations(locations))
            model_.addFiles(locations, model_.folder());
    } else if (name == "anadir-fuente") {
        model_.showCreatePage();
        if (arguments == 0) {
            model_.chooseFilesToAdd();
        } else {
            std::vector<Path> locations;
            for (std::size_t i = 1; i < words.size(); ++i)
                locations.push_back(TerminalDialogs::locationFromTyped(words[i]));
            if (!existingLocations(locations))
                return true;
            model_.addSources(locations);
        }
        if (model_.page() == WorkspacePage::create)
            printCreationSettings();
    } else if (name == "reparar") {
        model_.repairRarArchive();
    } else if (name == "guardar-unico") {
        if (!requireArchiveNamed("guardar-unico", 0, 0, arguments))
            return true;
        if (model_.archive()->volumes.size() <= 1)
            usage("Solo un archivo dividido en partes se guarda como archivo único.");
        else
            model_.joinVolumesToSingleFile();
    } else {
        return false;
    }
    return true;
}

bool TerminalSession::existingLocations(const std::vector<Path>& locations) {
    for (const auto& location : locations) {
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(location, error))) {
            usage("No existe: " + location.string());
            return false;
        }
    }
    return true;
}

} // namespace vexa
