#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vexa {

enum class TarCompression { none, gzip, bzip2, xz, zstd };

// "Sin comprimir", "GZIP", "BZIP2", "XZ", "ZSTD": also the display labels.
const std::string& rawValue(TarCompression compression);
std::optional<TarCompression> tarCompressionFromRawValue(const std::string& raw);

// From the lower-cased last path component's suffix alone; nothing when the file is neither a
// TAR archive nor a single compressed file. Reads nothing.
std::optional<TarCompression> detectTarCompression(const std::filesystem::path& location);
// The suffix that detectTarCompression matched (".tar.gz", ".gz", ...), lower-case, if any.
std::optional<std::string> tarSuffix(const std::filesystem::path& location);

} // namespace vexa
