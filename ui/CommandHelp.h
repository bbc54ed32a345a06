#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vexa {

// The command word a typed word stands for: accents and the eñe are optional ("añadir" is
// "anadir", "extraer-selección" is "extraer-seleccion"). Also for the options of "ajustar".
std::string plainWord(const std::string& typed);

// Every command with its arguments and what it does, the keys and the exit statuses.
std::string fullHelp();
// What one command does and how it is used; none for a word that is no command.
std::optional<std::string> commandHelp(const std::string& word);
// The command words, in help order (for completion).
const std::vector<std::string>& commandWords();

} // namespace vexa
