#pragma once

#include "core/archive/ArchiveSummary.h"

#include <filesystem>
#include <memory>
#include <string>

namespace vexa {

// The last ZIP listing of the process, kept while the archive and its parts stay as they were
// (same device, inode, size, modification and change times), so that an edit right after the
// open, and the listing after the edit, do not walk the central directory again. A listing does
// not depend on a password.
namespace ziplistingcache {

// What tells one state of the file from another; empty when it cannot be looked at.
std::string identity(const std::filesystem::path& file);
// Whoever asked for a listing holds a copy of it too; past this size a second copy costs more
// memory than walking the central directory again costs time, so larger ones are not kept.
inline constexpr std::size_t largestRemembered = 100'000;

// Remembers `summary`, whose archive had `archiveIdentity` before it was read; the identities of
// the other parts are taken now.
void remember(std::shared_ptr<const ArchiveSummary> summary, const std::string& archiveIdentity);
// The listing of `archive`, when it is the one remembered and nothing changed since.
std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive);
void forget();

} // namespace ziplistingcache
} // namespace vexa
