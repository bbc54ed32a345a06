#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {

// A quote left open: the line means nothing and nothing of it is run.
struct QuotingError : std::runtime_error {
    QuotingError() : std::runtime_error("Falta cerrar una comilla.") {}
};

// One rule for commands and for answers, as a shell splits a line: a line of commands is split
// at ";" and each command into words at blanks. Single or double quotes keep blanks and ";"
// inside a word, and a backslash takes the next character as it is, so a name with spaces, or
// one pasted with quotes by a terminal, works as typed. Both throw QuotingError.
std::vector<std::string> splitCommands(const std::string& line);
std::vector<std::string> splitWords(const std::string& command);
// The command being typed at the end of a line (after its last ";"), as far as it goes: its
// finished words, and the word still being typed, without its quoting, with the quote left
// open in it. Never throws: this is what Tab completes.
struct PartialCommand {
    std::vector<std::string> words;
    std::string last;
    char openQuote = 0;
};
PartialCommand partialCommand(const std::string& line);
// The word quoted so that splitWords gives it back whole (single quotes when it needs any).
std::string shellQuoted(const std::string& word);
// An answer to a yes-or-no question or a switch: "s", "si", "sí" and "y" are yes, "n" and "no"
// are no, in any case and with blanks around; none for anything else.
std::optional<bool> yesOrNo(const std::string& answer);
// A word of decimal digits only, as a number; none otherwise or when it is too long.
std::optional<std::int64_t> parseNumber(const std::string& word);

} // namespace vexa
