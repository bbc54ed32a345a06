#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vexa {

// What Tab does to a line typed up to the cursor: the text to insert there and, when the choice
// is not yet one, the candidates to show. In a command line the first word of a command
// completes among the command words, the argument of "cd" among the folders of the open
// archive, any other word among the files of the folder it names; what is inserted is quoted
// like the rest of the word (backslashes outside quotes). An answer is one path, the whole
// line as typed, and is completed unquoted.
struct Completion {
    std::string insert;
    std::vector<std::string> candidates; // shown when more than one remains
};

// The folders inside the archive folder that a typed path names (as "cd" takes it), each
// ending in "/"; none when it names no folder or no archive is open.
using ArchiveFolders = std::function<std::vector<std::string>(const std::string& typedFolder)>;

// `commandLine`: the line is commands; else it is an answer.
Completion complete(const std::string& beforeCursor, bool commandLine,
                    const ArchiveFolders& archiveFolders = {});

} // namespace vexa
