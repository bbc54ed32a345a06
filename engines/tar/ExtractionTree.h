#pragma once

#include "platform/FileOperations.h"

#include <filesystem>
#include <string>

namespace vexa::tar {

// Folders and files below a root folder that the extraction made itself. Every component is
// created on its own and must be a real folder (never a link), so nothing lands outside the
// root even when the paths were not what the validation saw.
class ExtractionTree {
  public:
    explicit ExtractionTree(std::filesystem::path root) : root_(std::move(root)) {}

    // "a/b/" or "a/b": makes whatever is missing; "" is the root itself.
    std::filesystem::path makeFolders(const std::string& relative);
    // A new file at `relative` (permissions 0600 until restored), its folders made first;
    // "" is the root itself. Fails when anything exists there.
    files::FileDescriptor createFile(const std::string& relative, std::filesystem::path& location);

  private:
    std::filesystem::path root_;
};

} // namespace vexa::tar
