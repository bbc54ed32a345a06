#pragma once

#include <string>
#include <vector>

namespace vexa {

// What Tab does to a command line typed up to the cursor: the text to insert there and, when
// the choice is not yet one, the candidates to show. The first word of a command completes
// among the command words, any other word among the files of the folder it names; what is
// inserted is quoted like the rest of the word (backslashes outside quotes).
struct Completion {
    std::string insert;
    std::vector<std::string> candidates; // shown when more than one remains
};

// `commandLine`: the line is commands; else it is an answer, whose words are all paths.
Completion complete(const std::string& beforeCursor, bool commandLine);

} // namespace vexa
