#pragma once

#include <optional>
#include <string>

namespace vexa {

enum class ArchiveFormat { zip, rar, sevenZip, tar };

// "ZIP", "RAR", "7z", "TAR".
const std::string& rawValue(ArchiveFormat format);
// Exact, case-sensitive match of the raw text.
std::optional<ArchiveFormat> archiveFormatFromRawValue(const std::string& raw);

} // namespace vexa
