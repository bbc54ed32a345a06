#pragma once

#include "core/archive/ArchiveSummary.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vexa {

// The last listing an engine made, kept while the archive and every other part stay as they
// were (same device, inode, size, modification and change times), so that the next operation
// on the same archive does not walk it again only to list it.
class RememberedListing {
  public:
    // What tells one state of a file from another; empty when it cannot be looked at.
    static std::string identity(const std::filesystem::path& file);

    // Remembers `summary`, whose archive had `archiveIdentity` before it was read (taken now
    // when not given); the other parts' identities are taken now.
    void remember(std::shared_ptr<const ArchiveSummary> summary,
                  std::optional<std::string> archiveIdentity = std::nullopt);
    // The listing of `archive`, when it is the one remembered and nothing changed since.
    std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive);
    void forget();

  private:
    std::mutex mutex_;
    std::shared_ptr<const ArchiveSummary> summary_;
    std::string identities_;
};

} // namespace vexa
