#pragma once

#include "core/archive/ArchiveFormat.h"
#include "core/archive/ArchiveItem.h"
#include "core/archive/JavaArchive.h"
#include "core/archive/TarCompression.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// An opened archive, as its engine listed it.
struct ArchiveSummary {
    std::filesystem::path url;
    std::vector<ArchiveItem> entries;
    ArchiveFormat format = ArchiveFormat::zip;
    std::vector<std::filesystem::path> volumes;
    bool hasRecoveryRecord = false;
    std::optional<TarCompression> compression;
    bool singleFile = false;
    std::optional<JavaArchive> java;
    bool isSigned = false; // `signed`
    // A locked RAR: the rar program refuses to change it, so it is read-only like a split set.
    bool isLocked = false;

    // Asks the rar locator for RAR archives, so the answer can change while the program runs.
    bool isEditable() const;
    std::string kindLabel() const;

    bool operator==(const ArchiveSummary&) const = default;
};

} // namespace vexa
