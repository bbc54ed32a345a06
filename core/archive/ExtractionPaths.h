#pragma once

#include "core/archive/ArchiveItem.h"

#include <map>
#include <string>
#include <vector>

namespace vexa {

// Relative disk paths for entries whose names differ only in case or normalisation, so that
// none lands on another: "Read.me" and "read.me" become "Read.me" and "read (2).me".
using PlacedPaths = std::map<std::string, std::string>; // entry path -> disk path
using TakenNames = std::map<std::string, std::string>;  // key of disk path -> entry path

std::string uniqueExtractionPath(const std::string& path, PlacedPaths& placed, TakenNames& taken);
std::map<std::string, std::string> javaExtractionPaths(const std::vector<ArchiveItem>& entries);
// `prefix` is the selected folder's path ending in "/".
std::map<std::string, std::string> javaItemExtractionPaths(const std::vector<ArchiveItem>& entries,
                                                           const ArchiveItem& selected,
                                                           const std::string& prefix);

} // namespace vexa
