#include "core/workspace/DesktopIntegration.h"

#include "platform/ChildProcess.h"
#include "platform/PlatformError.h"
#include "platform/Resources.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

namespace vexa {

namespace {

// The xdg-mime tool run to its end: whether it succeeded, and its output.
std::pair<bool, std::string> runTool(const DesktopIntegration& desktop,
                                     const std::vector<std::string>& arguments) {
    platform::ProcessSpec spec;
    spec.program = desktop.xdgMime;
    spec.arguments = arguments;
    spec.environment = platform::environmentWith(desktop.environment);
    auto result = platform::runCapturingOutput(std::move(spec));
    return {result.started && result.exitStatus == 0, std::move(result.standardOutput)};
}

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

std::vector<std::string> splitList(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(
            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

// The value after "key=" on the first line that starts so, within `section` (any when empty).
std::optional<std::string> listedValue(const std::filesystem::path& file,
                                       const std::string& section, const std::string& key) {
    std::ifstream input(file);
    if (!input)
        return std::nullopt;
    const std::string prefix = key + "=";
    bool inside = section.empty();
    std::string line;
    while (std::getline(input, line)) {
        if (!section.empty() && line.starts_with("["))
            inside = line.starts_with("[" + section + "]");
        else if (inside && line.starts_with(prefix))
            return line.substr(prefix.size());
    }
    return std::nullopt;
}

std::string firstId(const std::string& list) {
    return trimmed(list.substr(0, list.find(';')));
}

bool isExecutable(const std::filesystem::path& program) {
    std::error_code error;
    return std::filesystem::is_regular_file(program, error) && ::access(program.c_str(), X_OK) == 0;
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

std::vector<std::filesystem::path> DesktopIntegration::configDirectories() const {
    std::vector<std::filesystem::path> result;
    if (auto home = variable("XDG_CONFIG_HOME"))
        result.emplace_back(*home);
    else if (auto userHome = variable("HOME"))
        result.push_back(std::filesystem::path(*userHome) / ".config");
    for (const auto& part : splitList(variable("XDG_CONFIG_DIRS").value_or("/etc/xdg"), ':'))
        if (!part.empty())
            result.emplace_back(part);
    return result;
}

std::optional<std::string> DesktopIntegration::queryDefault(const std::string& mimeType) const {
    if (queryThroughTool)
        return queryDefaultThroughTool(mimeType);

    // An id names a desktop file that exists and whose program can be found.
    const auto launchable = [&](const std::string& id) {
        if (id.empty() || id.find('/') != std::string::npos)
            return false;
        for (const auto& directory : dataDirectories()) {
            const auto applications = directory / "applications";
            std::vector<std::filesystem::path> candidates;
            if (const auto dash = id.find('-'); dash != std::string::npos)
                candidates.push_back(applications / id.substr(0, id.rfind('-')) /
                                     id.substr(id.find('-') + 1));
            candidates.push_back(applications / id);
            std::error_code error;
            for (std::filesystem::directory_iterator it(applications, error), end;
                 !error && it != end; it.increment(error))
                if (it->is_directory(error))
                    candidates.push_back(it->path() / id);
            for (const auto& candidate : candidates) {
                std::error_code missing;
                if (!std::filesystem::is_regular_file(candidate, missing))
                    continue;
                std::ifstream file(candidate);
                std::string line, program;
                while (std::getline(file, line)) {
                    if (line.starts_with("Exec=")) {
                        program = trimmed(line.substr(5));
                        program = program.substr(0, program.find_first_of(" \t"));
                        break;
                    }
                }
                if (program.empty())
                    return false;
                if (program.find('/') != std::string::npos)
                    return isExecutable(program);
                for (const auto& folder : splitList(variable("PATH").value_or(""), ':'))
                    if (!folder.empty() && isExecutable(std::filesystem::path(folder) / program))
                        return true;
                return false;
            }
        }
        return false;
    };

    std::vector<std::string> prefixes;
    for (const auto& desktop : splitList(variable("XDG_CURRENT_DESKTOP").value_or(""), ':'))
        if (!desktop.empty())
            prefixes.push_back(text::asciiLowercased(desktop) + "-");
    prefixes.emplace_back();
    std::vector<std::filesystem::path> listFolders = configDirectories();
    for (const auto& directory : dataDirectories())
        listFolders.push_back(directory / "applications");
    for (const auto& folder : listFolders) {
        for (const auto& prefix : prefixes) {
            const auto value =
                listedValue(folder / (prefix + "mimeapps.list"), "Default Applications", mimeType);
            if (value && launchable(firstId(*value)))
                return firstId(*value);
        }
    }

    const std::string menuPrefix = variable("XDG_MENU_PREFIX").value_or("");
    for (const auto& directory : dataDirectories()) {
        for (const auto& prefix : {menuPrefix, std::string()}) {
            for (const char* name : {"defaults.list", "mimeinfo.cache"}) {
                const auto value =
                    listedValue(directory / "applications" / (prefix + name), "", mimeType);
                if (value && !firstId(*value).empty())
                    return firstId(*value);
            }
            if (menuPrefix.empty())
                break;
        }
    }

    // Last, the desktop file that lists the type with the highest initial preference (the
    // first of equals), files before subfolders, in name order.
    std::optional<std::string> chosen;
    long best = -1;
    std::function<void(const std::filesystem::path&)> search =
        [&](const std::filesystem::path& folder) {
            std::vector<std::filesystem::path> files, folders;
            std::error_code error;
            for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->is_directory(error))
                    folders.push_back(it->path());
                else if (it->path().extension() == ".desktop")
                    files.push_back(it->path());
            }
            std::sort(files.begin(), files.end());
            std::sort(folders.begin(), folders.end());
            for (const auto& file : files) {
                std::ifstream input(file);
                std::stringstream contents;
                contents << input.rdbuf();
                const std::string text = contents.str();
                if (text.find(mimeType + ";") == std::string::npos)
                    continue;
                long preference = 0;
                if (const auto at = text.find("InitialPreference="); at != std::string::npos)
                    preference = std::strtol(text.c_str() + at + 18, nullptr, 10);
                if (preference > best) {
                    best = preference;
                    chosen = file.filename().string();
                }
            }
            for (const auto& sub : folders)
                search(sub);
        };
    for (const auto& directory : dataDirectories())
        search(directory / "applications");
    return chosen;
}

std::optional<std::string>
DesktopIntegration::queryDefaultThroughTool(const std::string& mimeType) const {
    const auto [succeeded, output] = runTool(*this, {"query", "default", mimeType});
    if (!succeeded)
        return std::nullopt;
    std::string id = trimmed(output);
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

std::optional<std::filesystem::path> DesktopIntegration::installedEntry() const {
    std::optional<std::filesystem::path> entry = installedDesktopFile;
    if (!entry) {
        const auto resources = resources::resourcesDirectory();
        if (!resources)
            return std::nullopt;
        entry = resources->parent_path() / "applications" / desktopId;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(*entry, error))
        return std::nullopt;
    return entry;
}

std::optional<std::string> DesktopIntegration::makeDesktopFileVisible() const {
    if (desktopFileInstalled())
        return std::nullopt;
    const auto entry = installedEntry();
    if (!entry)
        return "No se encontró la entrada de escritorio " + desktopId +
               " en las carpetas de datos ($XDG_DATA_HOME, $XDG_DATA_DIRS) ni en la instalación "
               "(share/applications): instala Vexa con «cmake --install».";
    const auto data = dataDirectories();
    if (data.empty() || !(variable("XDG_DATA_HOME") || variable("HOME")))
        return "No hay carpeta de datos del usuario ($XDG_DATA_HOME o $HOME) donde dejar " +
               desktopId + ".";
    const auto folder = data.front() / "applications";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error)
        std::filesystem::copy_file(*entry, folder / desktopId,
                                   std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        return "No se pudo copiar " + desktopId + " a " + folder.string() + ". " +
               PlatformError::fromErrno(error.value(), (folder / desktopId).string(), true).what();
    return std::nullopt;
}

bool DesktopIntegration::toolFound() const {
    if (xdgMime.has_parent_path())
        return isExecutable(xdgMime);
    const std::string path = variable("PATH").value_or("/usr/bin:/bin");
    for (const auto& folder : splitList(path, ':'))
        if (!folder.empty() && isExecutable(std::filesystem::path(folder) / xdgMime))
            return true;
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
    return runTool(*this, {"default", desktopId, mimeType}).first;
}

} // namespace vexa
