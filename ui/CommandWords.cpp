#include "ui/CommandWords.h"

#include "platform/TextRules.h"

namespace vexa {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isSemicolon(char c) {
    return c == ';';
}

// How far a walk over a text got: its finished pieces, and the piece still open at the end with
// the quote left open in it, if any.
struct Scan {
    std::vector<std::string> pieces;
    std::string current;
    bool hasPiece = false;
    char quote = 0;
};

// Walks `text` honouring quotes and escapes; `separator` ends a piece outside quotes. With
// `keepQuoting` the quotes and backslashes stay in the pieces (so words can be split later).
Scan scan(const std::string& text, bool (*separator)(char), bool keepQuoting) {
    Scan walk;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && walk.quote != '\'' && i + 1 < text.size()) {
            if (keepQuoting)
                walk.current += c;
            walk.current += text[++i];
            walk.hasPiece = true;
        } else if (walk.quote != 0) {
            if (c == walk.quote) {
                walk.quote = 0;
                if (keepQuoting)
                    walk.current += c;
            } else {
                walk.current += c;
            }
        } else if (c == '\'' || c == '"') {
            walk.quote = c;
            walk.hasPiece = true;
            if (keepQuoting)
                walk.current += c;
        } else if (separator(c)) {
            if (walk.hasPiece)
                walk.pieces.push_back(walk.current);
            walk.current.clear();
            walk.hasPiece = false;
        } else {
            walk.current += c;
            walk.hasPiece = true;
        }
    }
    return walk;
}

std::vector<std::string> split(const std::string& text, bool (*separator)(char), bool keepQuoting) {
    Scan walk = scan(text, separator, keepQuoting);
    if (walk.quote != 0)
        throw QuotingError();
    if (walk.hasPiece)
        walk.pieces.push_back(walk.current);
    return walk.pieces;
}

} // namespace

std::vector<std::string> splitCommands(const std::string& line) {
    auto commands = split(line, isSemicolon, true);
    std::erase_if(commands, [](const std::string& command) {
        for (char c : command)
            if (!isBlank(c))
                return false;
        return true;
    });
    return commands;
}

std::vector<std::string> splitWords(const std::string& command) {
    return split(command, isBlank, false);
}

PartialCommand partialCommand(const std::string& line) {
    const Scan words = scan(scan(line, isSemicolon, true).current, isBlank, false);
    return {words.pieces, words.current, words.quote};
}

std::string shellQuoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\r\n'\"\\;") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::optional<bool> yesOrNo(const std::string& answer) {
    const auto first = answer.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    const std::string word = text::lowercased(
        text::nfc(answer.substr(first, answer.find_last_not_of(" \t") + 1 - first)));
    if (word == "s" || word == "si" || word == "sí" || word == "y")
        return true;
    if (word == "n" || word == "no")
        return false;
    return std::nullopt;
}

std::optional<std::int64_t> parseNumber(const std::string& word) {
    if (word.empty() || word.size() > 12 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoll(word);
}

} // namespace vexa
