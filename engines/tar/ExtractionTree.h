#pragma once

#include "platform/FileOperations.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <unordered_set>

namespace vexa::tar {

// Folders and files below a root folder that the extraction made itself. Every component is
// created on its own and must be a real folder (never a link), so nothing lands outside the
// root even when the paths were not what the validation saw. The folders made are remembered,
// so a path's folders are looked at once, not for every file below them.
class ExtractionTree {
  public:
    explicit ExtractionTree(std::filesystem::path root);
    ExtractionTree(const ExtractionTree&) = delete;
    ExtractionTree& operator=(const ExtractionTree&) = delete;

    // "a/b/" or "a/b": makes whatever is missing; "" is the root itself.
    std::filesystem::path makeFolders(const std::string& relative);
    // Makes the folders that hold `relative`.
    void makeParentFolders(const std::string& relative);
    // A new file at `relative` (permissions 0600 until restored), its folders made first;
    // "" is the root itself. Fails when anything exists there.
    files::FileDescriptor createFile(const std::string& relative, std::filesystem::path& location);
    // A new file with `permissions` exactly, in folders already made; "" is the root itself.
    // Fails when anything exists there. Safe to call from several threads at once.
    files::FileDescriptor openNewFile(const std::string& relative, mode_t permissions) const;

    std::filesystem::path locationOf(const std::string& relative) const;

  private:
    void openRoot();
    void makeFolder(const std::string& folder);

    std::filesystem::path root_;
    files::FileDescriptor rootDescriptor_;
    std::unordered_set<std::string> made_;
    mode_t umask_;
};

} // namespace vexa::tar
