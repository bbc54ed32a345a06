#include "core/workspace/ArchiveCreation.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/rar/RARCreator.h"
#include "engines/sevenzip/SevenZipWriter.h"
#include "engines/tar/TarArchiveEngine.h"
#include "engines/zip/ZIPArchiveEngine.h"

#include <limits>

namespace vexa {

namespace {

// A level beyond int stays beyond the creators' range instead of wrapping into it.
int creatorLevel(std::int64_t level) {
    constexpr auto lowest = std::numeric_limits<int>::min();
    constexpr auto highest = std::numeric_limits<int>::max();
    return static_cast<int>(level < lowest ? lowest : level > highest ? highest : level);
}

std::filesystem::path createRAR(const CreationRequest& request, Progress& progress) {
    RARCreator creator;
    creator.selectedExecutable = request.rarProgram;
    creator.splitSize = request.splitSize;
    creator.password = request.password;
    creator.encryptNames = request.hideNames;
    creator.level = creatorLevel(request.level);
    creator.selfExtracting = request.selfExtracting;
    creator.recoveryRecord = request.recoveryRecord;
    return creator.create(request.sources, request.destination, request.useCompression, progress);
}

} // namespace

std::filesystem::path createWithFormat(const CreationRequest& request, Progress& progress) {
    switch (request.format) {
    case ArchiveFormat::zip: {
        ZIPArchiveEngine engine(request.password);
        engine.splitSize = request.splitSize;
        engine.resolved.reset();
        engine.bufferSize = 262144;
        return engine.create(request.sources, request.destination, request.useCompression,
                             progress);
    }
    case ArchiveFormat::rar:
        return createRAR(request, progress);
    case ArchiveFormat::sevenZip:
        return SevenZipWriter::create(request.sources, request.destination, progress,
                                      request.splitSize, request.password, request.hideNames,
                                      creatorLevel(request.level));
    case ArchiveFormat::tar:
        return TarArchiveEngine().create(request.sources, request.destination, progress,
                                         request.tarCompression, creatorLevel(request.tarLevel),
                                         request.singleFile);
    }
    throw ArchiveFailure::unsupported();
}

} // namespace vexa
