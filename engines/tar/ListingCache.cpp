#include "ListingCache.h"

#include <mutex>
#include <optional>

namespace vexa::tar {

namespace {

struct Remembered {
    FileIdentity identity;
    std::shared_ptr<const ArchiveSummary> summary;
    std::shared_ptr<const TarPlacements> placements;
    std::shared_ptr<const GzipAccessPoints> gzipPoints;
    std::shared_ptr<const KeptBlocks> xzBlocks;
};

std::mutex rememberedMutex;
std::optional<Remembered> remembered;

} // namespace

void rememberListing(const FileIdentity& identity, std::shared_ptr<const ArchiveSummary> summary,
                     std::shared_ptr<const TarPlacements> placements,
                     std::shared_ptr<const GzipAccessPoints> gzipPoints,
                     std::shared_ptr<const KeptBlocks> xzBlocks) {
    std::lock_guard lock(rememberedMutex);
    // The listing before goes first, so that its kept blocks and these are never held at once.
    remembered.reset();
    remembered = Remembered{identity, std::move(summary), std::move(placements),
                            std::move(gzipPoints), std::move(xzBlocks)};
}

std::shared_ptr<const ArchiveSummary> rememberedListing(const std::filesystem::path& archive) {
    struct stat status {};
    if (::stat(archive.c_str(), &status) != 0)
        return nullptr;
    std::lock_guard lock(rememberedMutex);
    if (!remembered || remembered->summary->url != archive ||
        !(remembered->identity == FileIdentity::of(status)))
        return nullptr;
    return remembered->summary;
}

std::shared_ptr<const TarPlacements> rememberedPlacements(const ArchiveSummary& summary) {
    std::lock_guard lock(rememberedMutex);
    if (!remembered || remembered->summary.get() != &summary)
        return nullptr;
    return remembered->placements;
}

std::shared_ptr<const GzipAccessPoints> rememberedGzipPoints(const ArchiveSummary& summary) {
    std::lock_guard lock(rememberedMutex);
    if (!remembered || remembered->summary.get() != &summary)
        return nullptr;
    return remembered->gzipPoints;
}

std::shared_ptr<const KeptBlocks> rememberedXzBlocks(const ArchiveSummary& summary) {
    std::lock_guard lock(rememberedMutex);
    if (!remembered || remembered->summary.get() != &summary)
        return nullptr;
    return remembered->xzBlocks;
}

} // namespace vexa::tar
