#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// A content type the program can be the default opener of: a MIME type of the shared MIME
// database.
struct ContentType {
    std::string identifier; // the MIME type, e.g. "application/zip"
    // The first plain "*.ext" glob of the type's database entry; empty when it has none.
    std::string preferredFilenameExtension;

    bool operator==(const ContentType&) const = default;
};

// How the program meets the desktop's file associations: its desktop file and the xdg-mime
// tool, run with the process's environment plus `environment` (which tests point at private
// XDG folders so the machine's own associations are never read or touched).
struct DesktopIntegration {
    std::string desktopId = "vexa.desktop";
    std::filesystem::path xdgMime = "xdg-mime";
    std::map<std::string, std::string> environment;
    // Queries read the association lists themselves, as xdg-mime does, without starting it
    // (a query through the tool starts some fifty processes); tests that must hold an answer
    // back ask the tool instead.
    bool queryThroughTool = false;

    // A variable of `environment`, else of the process; nothing when unset or empty.
    std::optional<std::string> variable(const std::string& name) const;
    // $XDG_DATA_HOME (default ~/.local/share), then each of $XDG_DATA_DIRS (default
    // /usr/local/share:/usr/share).
    std::vector<std::filesystem::path> dataDirectories() const;
    // The type as the shared MIME database describes it, from the first data folder holding
    // <folder>/mime/<type>.xml; nothing when the database does not know it.
    std::optional<ContentType> knownContentType(const std::string& mimeType) const;

    // $XDG_CONFIG_HOME (default ~/.config), then each of $XDG_CONFIG_DIRS (default /etc/xdg).
    std::vector<std::filesystem::path> configDirectories() const;
    // What `xdg-mime query default <type>` answers outside a desktop's own tools: the first id
    // of the type's line in the [Default Applications] of the first mimeapps.list (desktop-
    // specific ones first; config folders, then the data folders' applications/) whose desktop
    // file exists with a program on PATH, else the first id of defaults.list or mimeinfo.cache,
    // else the desktop file listing the type with the highest InitialPreference.
    std::optional<std::string> queryDefault(const std::string& mimeType) const;
    // `xdg-mime query default <type>`.
    std::optional<std::string> queryDefaultThroughTool(const std::string& mimeType) const;
    // `xdg-mime default <desktopId> <type>`; true when the tool reports success.
    bool setDefault(const std::string& mimeType) const;

    // True when the desktop file lies in the "applications" folder of a data folder, where the
    // desktop looks for it; without it no association can take effect.
    bool desktopFileInstalled() const;
    // The desktop file an installation wrote to <prefix>/share/applications: this one when
    // set, else the one beside the resources folder (share/vexa); none when it is not there
    // (a build tree).
    std::optional<std::filesystem::path> installedDesktopFile;
    std::optional<std::filesystem::path> installedEntry() const;
    // An installation under a prefix whose share folder is not a data folder is invisible to
    // the desktop: a copy of its desktop file goes to the user's own $XDG_DATA_HOME/
    // applications, which the desktop always reads. Nothing when the desktop file is visible
    // afterwards; else why not, as a sentence.
    std::optional<std::string> makeDesktopFileVisible() const;
    // Whether the xdg-mime tool is there to be run.
    bool toolFound() const;
    // The user's association files ($XDG_CONFIG_HOME/mimeapps.list and its older place under
    // $XDG_DATA_HOME/applications) with their contents, none for a missing one, so that a
    // registration that did not take effect can put them back as they were.
    using AssociationFiles =
        std::vector<std::pair<std::filesystem::path, std::optional<std::string>>>;
    AssociationFiles readAssociations() const;
    void restoreAssociations(const AssociationFiles& files) const;
};

} // namespace vexa
