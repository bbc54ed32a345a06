#pragma once

#include "core/archive/ArchiveEngine.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vexa {

// The engine for a file, probed in the order 7z, TAR, RAR, falling back to ZIP. The RAR and 7z
// engines get the password with exact matching off.
std::unique_ptr<ArchiveEngine> makeArchiveEngine(const std::filesystem::path& archive,
                                                 const std::optional<std::string>& password);

} // namespace vexa
