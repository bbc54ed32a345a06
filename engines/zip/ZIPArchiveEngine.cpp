#include "engines/zip/ZIPArchiveEngine.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/Secrets.h"

#include <string>
#include <utility>

namespace vexa {

ZIPArchiveEngine::ZIPArchiveEngine(std::optional<std::string> password)
    : password(std::move(password)) {}

ZIPArchiveEngine::~ZIPArchiveEngine() {
    secrets::wipe(password);
    secrets::wipe(resolved);
}

bool ZIPArchiveEngine::operator==(const ZIPArchiveEngine& other) const {
    return password == other.password && splitSize == other.splitSize &&
           resolved == other.resolved && bufferSize == other.bufferSize;
}

void ZIPArchiveEngine::check(int status) {
    if (status >= 0)
        return;
    if (status == zipstatus::support)
        throw ArchiveFailure::unsupported();
    if (status == zipstatus::password)
        throw ArchiveFailure::wrongPassword();
    throw ArchiveFailure::corrupt("ZIP (código " + std::to_string(status) + ")");
}

void ZIPArchiveEngine::checkDataRead(int status, bool encrypted) {
    if (encrypted && status == zipstatus::format)
        throw ArchiveFailure::wrongPassword();
    check(status);
}

} // namespace vexa
