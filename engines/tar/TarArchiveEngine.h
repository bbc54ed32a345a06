#pragma once

#include "core/archive/ArchiveEngine.h"
#include "core/archive/ArchiveItem.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace vexa {

// Reads TAR archives (plain, gzip, bzip2, xz, zstd) and single compressed files (.gz, .bz2, .xz,
// .zst). A single file lists as one entry named after the file without its compression suffix.
// Symbolic links are refused with ArchiveFailure::symbolicLink, hard links and special files
// with ArchiveFailure::unsupportedTar, damaged or truncated data with ArchiveFailure::tarFailure.
class TarArchiveEngine : public ArchiveEngine {
  public:
    TarArchiveEngine() = default;

    ArchiveSummary list(const std::filesystem::path& archive, Progress& progress) override;

    // The result is one new folder in `destination`, named after the archive without its TAR
    // suffix ("fotos.tar.gz" gives "fotos"; "notas.txt.gz" gives "notas" holding "notas.txt"),
    // with " 2", " 3"... appended when the name is taken. Nothing is left behind on failure.
    std::filesystem::path extract(const std::filesystem::path& archive,
                                  const std::set<std::string>& paths,
                                  const std::filesystem::path& destination,
                                  Progress& progress) override;

    // Writes `entry` (a folder with everything below it) to exactly `destination`, which must
    // not exist yet (ArchiveFailure::conflict). An entry larger than `limit` fails with
    // ArchiveFailure::previewTooLarge before anything is written; an entry the archive does not
    // hold fails with ArchiveFailure::corrupt carrying its path.
    void extractPayload(const ArchiveItem& entry, const std::filesystem::path& archive,
                        const std::filesystem::path& destination, Progress& progress,
                        std::optional<std::int64_t> limit = std::nullopt);
};

} // namespace vexa
