#include "engines/EngineFactory.h"

#include "core/archive/TarCompression.h"
#include "engines/FormatDetection.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEngine.h"

namespace vexa {

std::unique_ptr<ArchiveEngine> makeArchiveEngine(const std::filesystem::path& archive,
                                                 const std::optional<std::string>& password) {
    if (isSevenZipArchive(archive))
        return std::make_unique<SevenZipArchiveEngine>(password, false);
    if (detectTarCompression(archive))
        return std::make_unique<TarArchiveEngine>();
    if (isRARArchive(archive))
        return std::make_unique<RARArchiveEngine>(password, false);
    // ZIP takes every file nothing else claims, Java and Android packages included.
    auto zip = std::make_unique<ZIPArchiveEngine>(password);
    zip->splitSize = 0;
    zip->resolved = std::nullopt;
    zip->bufferSize = 262144;
    return zip;
}

} // namespace vexa
