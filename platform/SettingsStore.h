#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// In place of user defaults: data and text values under keys, kept as one JSON file
// (settings.json under $XDG_CONFIG_HOME/vexa, default ~/.config/vexa) and written atomically.
// An unreadable or corrupt file reads as empty; a value of an unknown shape is skipped. Every
// change is written at once, over the values the file holds at that moment, so that the keys
// another running copy of the program wrote meanwhile are kept. Texts are UTF-8. Data values
// are stored as Base64 text.
class SettingsStore {
  public:
    using Data = std::vector<std::uint8_t>;

    // Reads `file` when it exists.
    explicit SettingsStore(std::filesystem::path file);
    // The store of the user's configuration folder (defaultFile() when first used).
    static SettingsStore& standard();
    // $XDG_CONFIG_HOME/vexa/settings.json; a relative or empty XDG_CONFIG_HOME is ignored in
    // favour of ~/.config.
    static std::filesystem::path defaultFile();

    std::optional<Data> data(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    void setData(const std::string& key, const Data& value);
    void setString(const std::string& key, const std::string& value);
    void remove(const std::string& key);

    const std::filesystem::path& file() const { return file_; }

  private:
    struct Value {
        bool isData = false;
        std::string bytes;
    };
    // The file's values; none when it is missing, unreadable or not a JSON object.
    static std::optional<std::map<std::string, Value>> read(const std::filesystem::path& file);
    void reload();     // needs mutex_; keeps the values in memory when the file gives none
    void save() const; // needs mutex_; failures to write are ignored: settings are never fatal

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

} // namespace vexa
