#include "core/archive/TarCompression.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace vexa {
namespace {

struct DetectRow {
    std::string location;
    std::optional<TarCompression> compression;
    std::optional<std::string> suffix;
};

TEST(TarCompressionDetect, TellsTheCompressionFromTheNameAlone) {
    using C = TarCompression;
    const std::vector<DetectRow> rows = {
        {"/data/copia.tar", C::none, ".tar"},
        {"/data/copia.tar.gz", C::gzip, ".tar.gz"},
        {"/data/copia.tgz", C::gzip, ".tgz"},
        {"/data/notas.txt.gz", C::gzip, ".gz"},
        {"/data/notas.gzip", C::gzip, ".gzip"},
        {"/data/copia.tar.bz2", C::bzip2, ".tar.bz2"},
        {"/data/copia.tbz2", C::bzip2, ".tbz2"},
        {"/data/copia.tbz", C::bzip2, ".tbz"},
        {"/data/notas.bz2", C::bzip2, ".bz2"},
        {"/data/copia.tar.xz", C::xz, ".tar.xz"},
        {"/data/copia.txz", C::xz, ".txz"},
        {"/data/notas.xz", C::xz, ".xz"},
        {"/data/copia.tar.zst", C::zstd, ".tar.zst"},
        {"/data/copia.tzst", C::zstd, ".tzst"},
        {"/data/notas.zst", C::zstd, ".zst"},
        // Letter case of the name does not matter; the suffix comes back lower-case.
        {"/data/COPIA.TAR.GZ", C::gzip, ".tar.gz"},
        {"/data/Copia.TgZ", C::gzip, ".tgz"},
        // The name must be longer than the suffix: a bare ".tar" matches nothing longer than
        // itself, while ".tar.gz" alone still ends in a shorter known suffix.
        {"/data/.tar", std::nullopt, std::nullopt},
        {"/data/.gz", std::nullopt, std::nullopt},
        {"/data/.tar.gz", C::gzip, ".gz"},
        // Only the last component counts.
        {"/data/copia.tar.gz/leeme.txt", std::nullopt, std::nullopt},
        {"/data/copia.tar/", C::none, ".tar"},
        {"relativo.tar.xz", C::xz, ".tar.xz"},
        {"/data/copia.zip", std::nullopt, std::nullopt},
        {"/data/copia.tar.gz.part", std::nullopt, std::nullopt},
        {"/data/copiatar", std::nullopt, std::nullopt},
        {"/data/copia.targz", std::nullopt, std::nullopt},
        {"/data/copia.7z", std::nullopt, std::nullopt},
        {"/data/Ñandú.tar.gz", C::gzip, ".tar.gz"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(detectTarCompression(row.location), row.compression) << row.location;
        EXPECT_EQ(tarSuffix(row.location), row.suffix) << row.location;
    }
}

} // namespace
} // namespace vexa
