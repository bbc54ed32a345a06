#include "core/archive/TarCompression.h"

#include "platform/Paths.h"
#include "platform/TextRules.h"

#include <array>
#include <string_view>

namespace vexa {

namespace {

struct NamedCompression {
    TarCompression compression;
    std::string raw;
};

const std::array<NamedCompression, 5>& names() {
    static const std::array<NamedCompression, 5> table{{
        {TarCompression::none, "Sin comprimir"},
        {TarCompression::gzip, "GZIP"},
        {TarCompression::bzip2, "BZIP2"},
        {TarCompression::xz, "XZ"},
        {TarCompression::zstd, "ZSTD"},
    }};
    return table;
}

struct Suffix {
    std::string_view text;
    TarCompression compression;
};

// Longest first, so that ".tar.gz" is preferred to ".gz" and names the extraction folder
// without the ".tar".
constexpr std::array<Suffix, 15> suffixes{{
    {".tar.bz2", TarCompression::bzip2},
    {".tar.zst", TarCompression::zstd},
    {".tar.gz", TarCompression::gzip},
    {".tar.xz", TarCompression::xz},
    {".tbz2", TarCompression::bzip2},
    {".tzst", TarCompression::zstd},
    {".gzip", TarCompression::gzip},
    {".tar", TarCompression::none},
    {".tgz", TarCompression::gzip},
    {".tbz", TarCompression::bzip2},
    {".txz", TarCompression::xz},
    {".bz2", TarCompression::bzip2},
    {".zst", TarCompression::zstd},
    {".gz", TarCompression::gzip},
    {".xz", TarCompression::xz},
}};

const Suffix* matchingSuffix(const std::filesystem::path& location) {
    const std::string name = text::lowercased(paths::lastPathComponent(location));
    for (const Suffix& suffix : suffixes) {
        if (name.size() > suffix.text.size() && name.ends_with(suffix.text))
            return &suffix;
    }
    return nullptr;
}

} // namespace

const std::string& rawValue(TarCompression compression) {
    return names()[static_cast<std::size_t>(compression)].raw;
}

std::optional<TarCompression> tarCompressionFromRawValue(const std::string& raw) {
    for (const auto& entry : names()) {
        if (entry.raw == raw)
            return entry.compression;
    }
    return std::nullopt;
}

std::optional<TarCompression> detectTarCompression(const std::filesystem::path& location) {
    if (const Suffix* suffix = matchingSuffix(location))
        return suffix->compression;
    return std::nullopt;
}

std::optional<std::string> tarSuffix(const std::filesystem::path& location) {
    if (const Suffix* suffix = matchingSuffix(location))
        return std::string(suffix->text);
    return std::nullopt;
}

} // namespace vexa
