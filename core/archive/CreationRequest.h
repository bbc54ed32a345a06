#pragma once

#include "core/archive/ArchiveFormat.h"
#include "core/archive/TarCompression.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

// Everything a creation needs, captured on the main thread when the request is accepted, so
// later changes of the settings do not reach a running creation.
struct CreationRequest {
    ArchiveFormat format = ArchiveFormat::zip;
    std::optional<std::filesystem::path> rarProgram;
    std::int64_t splitSize = 0; // bytes; 0 writes one file
    std::optional<std::string> password;
    bool hideNames = false;
    std::int64_t level = 0; // RAR or 7z
    bool selfExtracting = false;
    bool recoveryRecord = false;
    std::vector<std::filesystem::path> sources;
    std::filesystem::path destination;
    bool useCompression = true;
    TarCompression tarCompression = TarCompression::gzip;
    std::int64_t tarLevel = 6;
    bool singleFile = false;
};

// A level beyond int stays beyond the creators' range instead of wrapping into it.
int creatorLevel(std::int64_t level);

} // namespace vexa
