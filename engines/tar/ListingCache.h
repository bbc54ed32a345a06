#pragma once

#include "FileIdentity.h"
#include "GzipAccessPoints.h"
#include "KeptBlocks.h"
#include "TarPlacement.h"
#include "core/archive/ArchiveSummary.h"

#include <filesystem>
#include <memory>

namespace vexa::tar {

// The validated listing of the archive listed last, kept while the file stays as it was, so
// that an extraction after the open decodes the archive once instead of listing it again.
// The extraction still compares every header it reads with this listing.
void rememberListing(const FileIdentity& identity, std::shared_ptr<const ArchiveSummary> summary,
                     std::shared_ptr<const TarPlacements> placements = nullptr,
                     std::shared_ptr<const GzipAccessPoints> gzipPoints = nullptr,
                     std::shared_ptr<const KeptBlocks> xzBlocks = nullptr);
// Null when the archive was not the last one listed or has changed since.
std::shared_ptr<const ArchiveSummary> rememberedListing(const std::filesystem::path& archive);
// Where the entries of `summary`, a listing rememberedListing gave, lie in the decoded
// stream; null when it is no longer the remembered one or its entries were not placed.
std::shared_ptr<const TarPlacements> rememberedPlacements(const ArchiveSummary& summary);
// The access points of its gzip stream, the same way.
std::shared_ptr<const GzipAccessPoints> rememberedGzipPoints(const ArchiveSummary& summary);
// The decoded xz blocks its listing kept, the same way.
std::shared_ptr<const KeptBlocks> rememberedXzBlocks(const ArchiveSummary& summary);

} // namespace vexa::tar
