// The archive menu's editing commands on the terminal.
#include "core/archive/WorkspacePage.h"
#include "ui/CommandWords.h"
#include "ui/TerminalSession.h"

#include <ostream>

namespace vexa {

bool TerminalSession::addsToOpenArchive() const {
    return model_.page() == WorkspacePage::archive && model_.archive().has_value();
}

bool TerminalSession::dispatchEditing(const std::string& name,
                                      const std::vector<std::string>& words) {
    if (name == "renombrar") {
        if (words.size() < 2) {
            out_ << "Uso: renombrar n [nombre nuevo]\n";
        } else if (const auto rows = rowsNamed({words[1]})) {
            model_.setSelection({rows->front().path});
            if (words.size() > 2)
                dialogs_.presetText(joinWords(words, 2));
            model_.renameEntry();
            dialogs_.clearPresetText();
        }
    } else if (name == "eliminar") {
        if (words.size() < 2) {
            out_ << "Uso: eliminar n…\n";
        } else if (const auto rows = rowsNamed({words.begin() + 1, words.end()})) {
            std::set<std::string> selection;
            for (const auto& row : *rows)
                selection.insert(row.path);
            model_.setSelection(std::move(selection));
            model_.deleteEntries();
        }
    } else if (name == "anadir") {
        std::vector<Path> locations;
        for (std::size_t i = 1; i < words.size(); ++i)
            locations.push_back(TerminalDialogs::locationFromTyped(words[i]));
        if (locations.empty()) {
            model_.chooseFilesToAdd();
        } else if (addsToOpenArchive()) {
            model_.addFiles(locations, model_.folder());
        } else {
            model_.addSources(locations);
            printCreationSettings();
        }
    } else if (name == "reparar") {
        model_.repairRarArchive();
    } else if (name == "guardar-unico") {
        model_.joinVolumesToSingleFile();
    } else {
        return false;
    }
    return true;
}

} // namespace vexa
