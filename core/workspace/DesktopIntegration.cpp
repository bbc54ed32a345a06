#include "core/workspace/DesktopIntegration.h"

#include "core/workspace/ChildProcess.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vexa {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The first glob of the form "*.ext" (no other wildcard), as "ext".
std::string firstPlainExtension(const std::filesystem::path& description) {
    std::ifstream file(description);
    std::stringstream contents;
    contents << file.rdbuf();
    const std::string text = contents.str();
    const std::string opening = "<glob ";
    const std::string attribute = "pattern=\"";
    for (std::size_t tag = text.find(opening); tag != std::string::npos;
         tag = text.find(opening, tag + 1)) {
        const std::size_t tagEnd = text.find('>', tag);
        const std::size_t value = text.find(attribute, tag);
        if (value == std::string::npos || value > tagEnd)
            continue;
        const std::size_t start = value + attribute.size();
        const std::size_t end = text.find('"', start);
        if (end == std::string::npos)
            break;
        const std::string pattern = text.substr(start, end - start);
        if (pattern.size() > 2 && pattern.starts_with("*.") &&
            pattern.find_first_of("*?[]", 2) == std::string::npos)
            return pattern.substr(2);
    }
    return {};
}

} // namespace

std::optional<std::string> DesktopIntegration::variable(const std::string& name) const {
    const auto found = environment.find(name);
    if (found != environment.end())
        return found->second.empty() ? std::nullopt : std::optional(found->second);
    const char* value = std::getenv(name.c_str());
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

std::vector<std::filesystem::path> DesktopIntegration::dataDirectories() const {
    std::vector<std::filesystem::path> result;
    if (auto home = variable("XDG_DATA_HOME"))
        result.emplace_back(*home);
    else if (auto userHome = variable("HOME"))
        result.push_back(std::filesystem::path(*userHome) / ".local/share");
    const std::string dirs = variable("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share");
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t colon = dirs.find(':', start);
        const std::string part =
            dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!part.empty())
            result.emplace_back(part);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return result;
}

std::optional<ContentType> DesktopIntegration::knownContentType(const std::string& mimeType) const {
    for (const auto& directory : dataDirectories()) {
        const auto description = directory / "mime" / (mimeType + ".xml");
        std::error_code error;
        if (std::filesystem::is_regular_file(description, error))
            return ContentType{mimeType, firstPlainExtension(description)};
    }
    return std::nullopt;
}

std::optional<std::string> DesktopIntegration::queryDefault(const std::string& mimeType) const {
    const auto result = runChildProcess(xdgMime, {"query", "default", mimeType}, environment);
    if (!result.started || result.exitStatus != 0)
        return std::nullopt;
    std::string id = trimmed(result.standardOutput);
    // Several ids may come back; the first is the one the desktop uses.
    id = trimmed(id.substr(0, id.find_first_of(";\n")));
    if (id.empty())
        return std::nullopt;
    return id;
}

bool DesktopIntegration::desktopFileInstalled() const {
    for (const auto& directory : dataDirectories()) {
        std::error_code error;
        if (std::filesystem::is_regular_file(directory / "applications" / desktopId, error))
            return true;
    }
    return false;
}

DesktopIntegration::AssociationFiles DesktopIntegration::readAssociations() const {
    AssociationFiles files;
    std::filesystem::path config;
    if (auto home = variable("XDG_CONFIG_HOME"))
        config = *home;
    else if (auto userHome = variable("HOME"))
        config = std::filesystem::path(*userHome) / ".config";
    if (!config.empty())
        files.emplace_back(config / "mimeapps.list", std::nullopt);
    const auto data = dataDirectories();
    if (!data.empty() && (variable("XDG_DATA_HOME") || variable("HOME")))
        files.emplace_back(data.front() / "applications" / "mimeapps.list", std::nullopt);
    for (auto& [location, contents] : files) {
        std::ifstream file(location, std::ios::binary);
        if (file) {
            std::stringstream read;
            read << file.rdbuf();
            contents = read.str();
        }
    }
    return files;
}

void DesktopIntegration::restoreAssociations(const AssociationFiles& files) const {
    for (const auto& [location, contents] : files) {
        std::error_code error;
        if (!contents) {
            std::filesystem::remove(location, error);
            continue;
        }
        std::ofstream file(location, std::ios::binary | std::ios::trunc);
        file << *contents;
    }
}

bool DesktopIntegration::setDefault(const std::string& mimeType) const {
    const auto result = runChildProcess(xdgMime, {"default", desktopId, mimeType}, environment);
    return result.started && result.exitStatus == 0;
}

} // namespace vexa
