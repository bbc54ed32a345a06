#include "engines/zip/ZIPListingCache.h"

#include "core/archive/RememberedListing.h"

namespace vexa::ziplistingcache {

namespace {

RememberedListing& slot() {
    static RememberedListing instance;
    return instance;
}

} // namespace

std::string identity(const std::filesystem::path& file) {
    return RememberedListing::identity(file);
}

void remember(std::shared_ptr<const ArchiveSummary> kept, const std::string& archiveIdentity) {
    if (kept->entries.size() > largestRemembered)
        slot().forget();
    else
        slot().remember(std::move(kept), archiveIdentity);
}

std::shared_ptr<const ArchiveSummary> find(const std::filesystem::path& archive) {
    return slot().find(archive);
}

void forget() {
    slot().forget();
}

} // namespace vexa::ziplistingcache
