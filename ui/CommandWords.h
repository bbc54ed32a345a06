#pragma once

#include <string>
#include <vector>

namespace vexa {

// A line of commands is split at ";" and each command into words at blanks. Single or double
// quotes keep blanks and ";" inside a word, and a backslash takes the next character as it is,
// so names with spaces can be typed.
std::vector<std::string> splitCommands(const std::string& line);
std::vector<std::string> splitWords(const std::string& command);

} // namespace vexa
