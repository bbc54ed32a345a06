#include "engines/rar/RARListingCache.h"

#include "core/archive/RememberedListing.h"

namespace vexa::rarlistingcache {

namespace {

RememberedListing& slot() {
    static RememberedListing instance;
    return instance;
}

} // namespace

void remember(const ArchiveSummary& summary) {
    slot().remember(std::make_shared<const ArchiveSummary>(summary));
}

std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive) {
    return slot().find(archive);
}

} // namespace vexa::rarlistingcache
