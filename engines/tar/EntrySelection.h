#pragma once

#include "core/archive/ArchiveItem.h"

#include <set>
#include <string>
#include <vector>

namespace vexa::tar {

// An empty set chooses everything; a chosen path brings itself and, taken as a folder (with or
// without its "/"), everything below it: "docs" chooses "docs/" and "docs/a.txt", not
// "docsx.txt".
bool isSelectedPath(const std::string& path, const std::set<std::string>& chosen);
// The chosen entries, in listing order.
std::vector<ArchiveItem> selectEntries(const std::vector<ArchiveItem>& entries,
                                       const std::set<std::string>& chosen);

} // namespace vexa::tar
