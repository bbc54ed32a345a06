#include "platform/SettingsStore.h"

#include "platform/ReadWrite.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

namespace fs = std::filesystem;

namespace {

// The key that marks a stored value as data rather than text.
constexpr const char* dataKey = "data";

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            text += base64Alphabet[(n >> shift) & 0x3F];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        text += base64Alphabet[(n >> 18) & 0x3F];
        text += base64Alphabet[(n >> 12) & 0x3F];
        text += rest == 2 ? base64Alphabet[(n >> 6) & 0x3F] : '=';
        text += '=';
    }
    return text;
}

// Strict: a text that is not padded Base64 gives nothing, so a damaged value is
// dropped rather than handed on as wrong bytes.
std::optional<std::string> decodeBase64(const std::string& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t n = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            std::uint32_t value = 0;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
            } else {
                const auto found = base64Alphabet.find(c);
                if (found == std::string_view::npos || padding > 0)
                    return std::nullopt;
                value = static_cast<std::uint32_t>(found);
            }
            n = n << 6 | value;
        }
        bytes += static_cast<char>(n >> 16 & 0xFF);
        if (padding < 2)
            bytes += static_cast<char>(n >> 8 & 0xFF);
        if (padding < 1)
            bytes += static_cast<char>(n & 0xFF);
    }
    return bytes;
}

// The new content goes to a temporary file beside the target and replaces it by rename, so a
// crash of the program or a full disk leaves either the old file or the new one, never half of
// one. Nothing is flushed to the disk: these are preferences, saved at every open, and a power
// cut that loses the last change (or leaves a file that reads as empty, giving the defaults)
// costs less than waiting for the disk each time.
bool writeAtomically(const fs::path& file, const std::string& bytes) {
    std::error_code error;
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    fs::create_directories(folder, error);
    std::string pattern = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return false;
    bool ok = platform::writeFully(fd, bytes.data(), bytes.size()) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(pattern.c_str(), file.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return false;
    }
    return true;
}

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return fs::temp_directory_path();
}

} // namespace

SettingsStore::SettingsStore(fs::path file) : file_(std::move(file)) {
    reload();
}

SettingsStore& SettingsStore::standard() {
    static SettingsStore store(defaultFile());
    return store;
}

fs::path SettingsStore::defaultFile() {
    fs::path config;
    // Relative values are invalid by the XDG rules and must be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME");
        xdg && *xdg && fs::path(xdg).is_absolute())
        config = xdg;
    else
        config = homeFolder() / ".config";
    return config / "vexa" / "settings.json";
}

std::optional<SettingsStore::Data> SettingsStore::data(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end() || !found->second.isData)
        return std::nullopt;
    return Data(found->second.bytes.begin(), found->second.bytes.end());
}

std::optional<std::string> SettingsStore::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end() || found->second.isData)
        return std::nullopt;
    return found->second.bytes;
}

void SettingsStore::setData(const std::string& key, const Data& value) {
    std::lock_guard lock(mutex_);
    reload();
    values_[key] = Value{true, std::string(value.begin(), value.end())};
    save();
}

void SettingsStore::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    reload();
    values_[key] = Value{false, value};
    save();
}

void SettingsStore::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    reload();
    if (values_.erase(key) > 0)
        save();
}

std::optional<std::map<std::string, SettingsStore::Value>>
SettingsStore::read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    const auto document = nlohmann::json::parse(content.str(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    std::map<std::string, Value> values;
    for (const auto& [key, stored] : document.items()) {
        if (stored.is_string()) {
            values[key] = Value{false, stored.get<std::string>()};
        } else if (stored.is_object() && stored.size() == 1 && stored.contains(dataKey) &&
                   stored[dataKey].is_string()) {
            if (auto bytes = decodeBase64(stored[dataKey].get<std::string>()))
                values[key] = Value{true, std::move(*bytes)};
        }
    }
    return values;
}

void SettingsStore::reload() {
    if (auto values = read(file_))
        values_ = std::move(*values);
}

void SettingsStore::save() const {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [key, value] : values_) {
        if (value.isData)
            document[key] = {{dataKey, encodeBase64(value.bytes)}};
        else
            document[key] = value.bytes;
    }
    // A text that is not UTF-8 is written with replacement characters rather than losing
    // every other setting.
    const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    writeAtomically(file_, text + "\n");
}

} // namespace vexa
