#include "core/workspace/RecentArchive.h"

#include <array>
#include <cctype>
#include <nlohmann/json.hpp>

namespace vexa {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The stored id must read back as a UUID; letter case is not part of its identity.
std::optional<std::string> canonicalUUID(const std::string& text) {
    if (text.size() != 36)
        return std::nullopt;
    std::string result = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const auto c = static_cast<unsigned char>(text[i]);
        if (dash ? c != '-' : !std::isxdigit(c))
            return std::nullopt;
        result[i] = static_cast<char>(std::toupper(c));
    }
    return result;
}

std::optional<RecentArchive::Data> dataValue(const nlohmann::json& value) {
    if (!value.is_string())
        return std::nullopt;
    return base64Decoded(value.get<std::string>());
}

} // namespace

std::string base64Encoded(const RecentArchive::Data& data) {
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const std::uint32_t n = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        for (int shift : {18, 12, 6, 0})
            text += alphabet[(n >> shift) & 63];
    }
    if (i + 1 == data.size()) {
        const std::uint32_t n = data[i] << 16;
        text += alphabet[(n >> 18) & 63];
        text += alphabet[(n >> 12) & 63];
        text += "==";
    } else if (i + 2 == data.size()) {
        const std::uint32_t n = data[i] << 16 | data[i + 1] << 8;
        text += alphabet[(n >> 18) & 63];
        text += alphabet[(n >> 12) & 63];
        text += alphabet[(n >> 6) & 63];
        text += '=';
    }
    return text;
}

std::optional<RecentArchive::Data> base64Decoded(const std::string& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    RecentArchive::Data data;
    data.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        std::array<int, 4> values{};
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++padding;
                values[k] = 0;
                continue;
            }
            if (padding > 0)
                return std::nullopt; // data after padding
            values[k] = sextet(c);
            if (values[k] < 0)
                return std::nullopt;
        }
        const std::uint32_t n = values[0] << 18 | values[1] << 12 | values[2] << 6 | values[3];
        data.push_back(static_cast<std::uint8_t>(n >> 16));
        if (padding < 2)
            data.push_back(static_cast<std::uint8_t>(n >> 8));
        if (padding < 1)
            data.push_back(static_cast<std::uint8_t>(n));
    }
    return data;
}

std::string encodeRecentArchives(const std::vector<RecentArchive>& recents) {
    auto array = nlohmann::ordered_json::array();
    for (const RecentArchive& recent : recents) {
        nlohmann::ordered_json object;
        object["id"] = recent.id;
        object["name"] = recent.name;
        object["bookmark"] = base64Encoded(recent.bookmark);
        if (recent.folderBookmark)
            object["folderBookmark"] = base64Encoded(*recent.folderBookmark);
        array.push_back(std::move(object));
    }
    // Names are the user's file names: keep invalid UTF-8 rather than fail the whole list.
    return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<RecentArchive>> decodeRecentArchives(const std::string& json) {
    const auto root = nlohmann::json::parse(json, nullptr, false);
    if (root.is_discarded() || !root.is_array())
        return std::nullopt;
    std::vector<RecentArchive> recents;
    for (const auto& element : root) {
        if (!element.is_object())
            return std::nullopt;
        const auto id = element.find("id");
        const auto name = element.find("name");
        const auto bookmark = element.find("bookmark");
        if (id == element.end() || name == element.end() || bookmark == element.end())
            return std::nullopt;
        if (!id->is_string() || !name->is_string())
            return std::nullopt;
        RecentArchive recent;
        const auto uuid = canonicalUUID(id->get<std::string>());
        const auto bookmarkData = dataValue(*bookmark);
        if (!uuid || !bookmarkData)
            return std::nullopt;
        recent.id = *uuid;
        recent.name = name->get<std::string>();
        recent.bookmark = *bookmarkData;
        const auto folder = element.find("folderBookmark");
        if (folder != element.end() && !folder->is_null()) {
            auto folderData = dataValue(*folder);
            if (!folderData)
                return std::nullopt;
            recent.folderBookmark = std::move(*folderData);
        }
        recents.push_back(std::move(recent));
    }
    return recents;
}

} // namespace vexa
