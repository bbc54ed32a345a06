#pragma once

#include "core/archive/ArchiveSummary.h"

#include <filesystem>
#include <memory>

namespace vexa {

// The last RAR listing of the process, kept while its files are unchanged (same inode, size,
// modification and change times of the archive and of every volume), so that an extraction
// right after the open does not walk the archive once more only to list it. A listing does not
// depend on the password that opened it, beyond opening at all; the extraction pass opens the
// archive with its own password and compares every chosen entry with the listing anyway.
namespace rarlistingcache {

void remember(const ArchiveSummary& summary);
// The listing of `archive`, when it is the one remembered and nothing changed since.
std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive);

} // namespace rarlistingcache
} // namespace vexa
