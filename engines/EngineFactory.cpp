#include "engines/EngineFactory.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/TarCompression.h"
#include "engines/FormatDetection.h"
#include "engines/rar/RARArchiveEditor.h"
#include "engines/rar/RARArchiveEngine.h"
#include "engines/sevenzip/SevenZipArchiveEditor.h"
#include "engines/sevenzip/SevenZipArchiveEngine.h"
#include "engines/tar/TarArchiveEditor.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEditor.h"
#include "engines/zip/ZIPArchiveEngine.h"

namespace vexa {

ArchiveFormat detectArchiveFormat(const std::filesystem::path& archive) {
    if (isSevenZipArchive(archive))
        return ArchiveFormat::sevenZip;
    if (detectTarCompression(archive))
        return ArchiveFormat::tar;
    if (isRARArchive(archive))
        return ArchiveFormat::rar;
    // ZIP takes every file nothing else claims, Java and Android packages included.
    return ArchiveFormat::zip;
}

std::unique_ptr<ArchiveEngine> makeArchiveEngine(const std::filesystem::path& archive,
                                                 const std::optional<std::string>& password) {
    switch (detectArchiveFormat(archive)) {
    case ArchiveFormat::sevenZip:
        return std::make_unique<SevenZipArchiveEngine>(password, false);
    case ArchiveFormat::tar:
        return std::make_unique<TarArchiveEngine>();
    case ArchiveFormat::rar:
        return std::make_unique<RARArchiveEngine>(password, false);
    case ArchiveFormat::zip:
        break;
    }
    auto zip = std::make_unique<ZIPArchiveEngine>(password);
    zip->splitSize = 0;
    zip->resolved = std::nullopt;
    zip->bufferSize = 262144;
    return zip;
}

std::unique_ptr<ArchiveEditor> makeArchiveEditor(ArchiveFormat format,
                                                 const std::optional<std::string>& password) {
    switch (format) {
    case ArchiveFormat::zip:
        return std::make_unique<ZIPArchiveEditor>(password);
    case ArchiveFormat::rar:
        return std::make_unique<RARArchiveEditor>(password);
    case ArchiveFormat::sevenZip:
        return std::make_unique<SevenZipArchiveEditor>(password);
    case ArchiveFormat::tar:
        return std::make_unique<TarArchiveEditor>();
    }
    throw ArchiveFailure::unsupported();
}

void forgetDerivedKeys() {
    SevenZipArchiveEngine::forgetDerivedKeys();
}

} // namespace vexa
