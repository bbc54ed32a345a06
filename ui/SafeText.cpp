#include "ui/SafeText.h"

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

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
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
        const std::size_t length = sequenceLength(text, i);
        if (length == 0) {
            shown += hex(c);
            ++i;
        } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // C1 controls (U+0080 to U+009F) act as escape sequences on some terminals.
            shown += "\\u00" + hex(static_cast<unsigned char>(text[i + 1])).substr(2);
            i += 2;
        } else {
            shown.append(text.substr(i, length));
            i += length;
        }
    }
    return shown;
}

} // namespace vexa
