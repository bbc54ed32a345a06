#include "ui/Completion.h"

#include "ui/CommandHelp.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace vexa {

namespace {

namespace fs = std::filesystem;

// The word under the cursor, as far as it is typed.
struct PartialWord {
    std::string text;  // without its quoting
    char quote = 0;    // the quote left open in it, if any
    bool first = true; // the command word
};

PartialWord lastWord(const std::string& line) {
    PartialWord word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && word.quote != '\'' && i + 1 < line.size()) {
            word.text += line[++i];
            inWord = true;
        } else if (word.quote != 0) {
            if (c == word.quote)
                word.quote = 0;
            else
                word.text += c;
        } else if (c == '\'' || c == '"') {
            word.quote = c;
            inWord = true;
        } else if (c == ';') {
            word = PartialWord{};
            inWord = false;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                word.first = false;
            word.text.clear();
            inWord = false;
        } else {
            word.text += c;
            inWord = true;
        }
    }
    return word;
}

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

Completion complete(const std::string& beforeCursor, bool commandLine) {
    PartialWord word = lastWord(beforeCursor);
    word.first = word.first && commandLine;
    std::vector<std::string> names; // candidates, folders ending in "/"
    std::string base = word.text;
    if (word.first) {
        for (const auto& command : commandWords())
            if (command.starts_with(base))
                names.push_back(command);
    } else {
        std::string typed = word.text;
        std::string folderText =
            typed.substr(0, typed.rfind('/') == std::string::npos ? 0 : typed.rfind('/') + 1);
        base = typed.substr(folderText.size());
        std::string folder = folderText.empty() ? "." : folderText;
        if (folder == "~/" || folder.starts_with("~/")) {
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
    Completion result;
    if (names.empty())
        return result;
    std::sort(names.begin(), names.end());
    std::string insert = commonPrefix(names).substr(base.size());
    const bool one = names.size() == 1;
    const bool folder = one && names.front().ends_with('/');
    result.insert = quotedLike(insert, word.quote);
    if (one && !folder)
        result.insert += std::string(word.quote ? 1 : 0, word.quote) + " ";
    if (!one && insert.empty())
        result.candidates = names;
    return result;
}

} // namespace vexa
