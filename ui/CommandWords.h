#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// A line of commands is split at ";" and each command into words at blanks. Single or double
// quotes keep blanks and ";" inside a word, and a backslash takes the next character as it is,
// so names with spaces can be typed.
std::vector<std::string> splitCommands(const std::string& line);
std::vector<std::string> splitWords(const std::string& command);
// The words from `from` on, joined by single blanks (so unquoted names with spaces still work).
std::string joinWords(const std::vector<std::string>& words, std::size_t from);
// A word of decimal digits only, as a number; none otherwise or when it is too long.
std::optional<std::int64_t> parseNumber(const std::string& word);

} // namespace vexa
