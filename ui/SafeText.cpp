#include "ui/SafeText.h"

#include "platform/TextRules.h"

#include <cstdio>

namespace vexa {

namespace {

std::string octal(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\%03o", c);
    return text;
}

std::string hex(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    return text;
}

std::string codePoint(char32_t character) {
    char text[16];
    std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(character));
    return text;
}

} // namespace

std::string printable(std::string_view text, bool keepLineEnds) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '\\':
                shown += "\\\\";
                break;
            case '\n':
                shown += keepLineEnds ? "\n" : "\\n";
                break;
            case '\t':
                shown += "\\t";
                break;
            case '\r':
                shown += "\\r";
                break;
            case '\a':
                shown += "\\a";
                break;
            case '\b':
                shown += "\\b";
                break;
            case '\f':
                shown += "\\f";
                break;
            case '\v':
                shown += "\\v";
                break;
            default:
                shown += c < 0x20 || c == 0x7F ? octal(c) : std::string(1, char(c));
            }
            ++i;
            continue;
        }
        const auto scalar = text::scalarAt(text, i);
        if (!scalar.character) {
            for (std::size_t k = 0; k < scalar.length; ++k)
                shown += hex(static_cast<unsigned char>(text[i + k]));
        } else if (*scalar.character < 0xA0 || text::isBidiControl(*scalar.character)) {
            // C1 controls act as escape sequences on some terminals; bidirectional controls
            // make a name read as another (an override turns "gpj.exe" into "exe.jpg").
            shown += codePoint(*scalar.character);
        } else {
            shown.append(text.substr(i, scalar.length));
        }
        i += scalar.length;
    }
    return shown;
}

} // namespace vexa
