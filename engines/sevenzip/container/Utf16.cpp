#include "engines/sevenzip/container/Utf16.h"

namespace vexa::sevenzip {

namespace {

void putUnit(std::vector<std::uint8_t>& out, std::uint32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

// One code point from UTF-8 at `i`, advancing it; U+FFFD for a malformed sequence.
std::uint32_t decodeUtf8(const std::string& text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(i);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        point = lead & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + length > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        point = (point << 6) | (byte(i + k) & 0x3F);
    }
    i += length;
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0xFFFD;
    return point;
}

void appendUtf8(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

} // namespace

std::vector<std::uint8_t> utf16LittleEndian(const std::string& utf8) {
    std::vector<std::uint8_t> out;
    out.reserve(utf8.size() * 2);
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint32_t point = decodeUtf8(utf8, i);
        if (point >= 0x10000) {
            putUnit(out, 0xD800 + ((point - 0x10000) >> 10));
            putUnit(out, 0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            putUnit(out, point);
        }
    }
    return out;
}

std::optional<std::string> utf8FromUtf16(const std::uint8_t* data, std::size_t units) {
    std::string out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t unit = data[2 * i] | (std::uint32_t{data[2 * i + 1]} << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= units)
                return std::nullopt;
            const std::uint32_t low = data[2 * i + 2] | (std::uint32_t{data[2 * i + 3]} << 8);
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;
        }
        appendUtf8(out, unit);
    }
    return out;
}

} // namespace vexa::sevenzip
