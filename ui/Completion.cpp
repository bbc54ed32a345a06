#include "ui/Completion.h"

#include "ui/CommandHelp.h"
#include "ui/CommandWords.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace vexa {

namespace {

namespace fs = std::filesystem;

std::string quotedLike(const std::string& text, char quote) {
    std::string out;
    for (char c : text) {
        if (quote == 0 && std::string(" \t'\"\\;").find(c) != std::string::npos)
            out += '\\';
        else if (quote == '"' && (c == '"' || c == '\\'))
            out += '\\';
        else if (quote == '\'' && c == '\'') {
            out += "'\\''";
            continue;
        }
        out += c;
    }
    return out;
}

std::string commonPrefix(const std::vector<std::string>& names) {
    std::string prefix = names.front();
    for (const auto& name : names) {
        std::size_t n = 0;
        while (n < prefix.size() && n < name.size() && prefix[n] == name[n])
            ++n;
        prefix.resize(n);
    }
    return prefix;
}

} // namespace

Completion complete(const std::string& beforeCursor, bool commandLine,
                    const ArchiveFolders& archiveFolders) {
    // An answer is the line as typed: nothing in it is quoting.
    std::string typed = beforeCursor;
    char quote = 0;
    bool first = false;
    bool inArchive = false;
    if (commandLine) {
        auto partial = partialCommand(beforeCursor);
        typed = std::move(partial.last);
        quote = partial.openQuote;
        first = partial.words.empty();
        inArchive =
            partial.words.size() == 1 && plainWord(partial.words.front()) == "cd" && archiveFolders;
    }
    std::vector<std::string> names; // candidates, folders ending in "/"
    std::string base = typed;
    if (first) {
        for (const auto& command : commandWords())
            if (command.starts_with(base))
                names.push_back(command);
    } else {
        const auto slash = typed.rfind('/');
        const std::string folderText = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
        base = typed.substr(folderText.size());
        if (inArchive) {
            for (auto& name : archiveFolders(folderText))
                if (name.starts_with(base))
                    names.push_back(std::move(name));
        } else {
            std::string folder = folderText.empty() ? "." : folderText;
            if (folder.starts_with("~/")) {
                if (const char* home = std::getenv("HOME"))
                    folder = std::string(home) + folder.substr(1);
            }
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                const std::string name = it->path().filename().string();
                if (!name.starts_with(base) || (name.starts_with('.') && !base.starts_with('.')))
                    continue;
                std::error_code kind;
                names.push_back(name + (it->is_directory(kind) ? "/" : ""));
            }
        }
    }
    Completion result;
    if (names.empty())
        return result;
    std::sort(names.begin(), names.end());
    std::string insert = commonPrefix(names).substr(base.size());
    const bool one = names.size() == 1;
    const bool folder = one && names.front().ends_with('/');
    result.insert = commandLine ? quotedLike(insert, quote) : insert;
    // A finished word of a command is closed; an answer ends where the user presses Enter.
    if (one && !folder && commandLine)
        result.insert += std::string(quote ? 1 : 0, quote) + " ";
    if (!one && insert.empty())
        result.candidates = names;
    return result;
}

} // namespace vexa
