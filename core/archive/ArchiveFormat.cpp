#include "core/archive/ArchiveFormat.h"

#include <array>

namespace vexa {

namespace {

const std::array<std::string, 4>& rawValues() {
    static const std::array<std::string, 4> values{"ZIP", "RAR", "7z", "TAR"};
    return values;
}

} // namespace

const std::string& rawValue(ArchiveFormat format) {
    return rawValues()[static_cast<std::size_t>(format)];
}

std::optional<ArchiveFormat> archiveFormatFromRawValue(const std::string& raw) {
    const auto& values = rawValues();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (values[i] == raw)
            return static_cast<ArchiveFormat>(i);
    }
    return std::nullopt;
}

} // namespace vexa
