#include "ui/CommandWords.h"

#include "platform/TextRules.h"

namespace vexa {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Walks `text` honouring quotes and escapes; `separator` ends a piece outside quotes. With
// `keepQuoting` the quotes and backslashes stay in the pieces (so words can be split later).
std::vector<std::string> split(const std::string& text, bool (*separator)(char), bool keepQuoting) {
    std::vector<std::string> pieces;
    std::string current;
    bool hasPiece = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && quote != '\'' && i + 1 < text.size()) {
            if (keepQuoting)
                current += c;
            current += text[++i];
            hasPiece = true;
        } else if (quote != 0) {
            if (c == quote) {
                quote = 0;
                if (keepQuoting)
                    current += c;
            } else {
                current += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            hasPiece = true;
            if (keepQuoting)
                current += c;
        } else if (separator(c)) {
            if (hasPiece)
                pieces.push_back(current);
            current.clear();
            hasPiece = false;
        } else {
            current += c;
            hasPiece = true;
        }
    }
    if (quote != 0)
        throw QuotingError();
    if (hasPiece)
        pieces.push_back(current);
    return pieces;
}

} // namespace

std::vector<std::string> splitCommands(const std::string& line) {
    auto commands = split(
        line, [](char c) { return c == ';'; }, true);
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
