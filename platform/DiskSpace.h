#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vexa::files {

// Bytes an unprivileged process may still write on the file system that holds `location` (an
// existing file or folder); none when the system cannot tell.
std::optional<std::uint64_t> availableBytes(const std::filesystem::path& location);

} // namespace vexa::files
