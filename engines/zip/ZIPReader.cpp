#include "engines/zip/ZIPReader.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPArchiveEngine.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"

namespace vexa {

ZIPReader::ZIPReader(const std::filesystem::path& archive) : handle(ZipFileReader::create()) {
    if (!handle)
        throw PlatformError(PlatformError::Code::fileReadUnknown, archive.string());
    // A throw below still destroys `handle`, which closes whatever the reader opened.
    ZIPArchiveEngine::check(handle->setRecover(false));
    ZIPArchiveEngine::check(handle->openFile(archive.c_str()));
    ZIPArchiveEngine::check(handle->getZipHandle(&zip));
}

const ZipFileInfo& ZIPReader::currentInfo() {
    const ZipFileInfo* info = nullptr;
    ZIPArchiveEngine::check(handle->entryGetInfo(&info));
    if (info == nullptr)
        throw ArchiveFailure::corrupt("ZIP");
    return *info;
}

void ZIPReader::moveForwardTo(int& status, const std::string& path) {
    while (true) {
        if (status != zipstatus::ok) {
            ZIPArchiveEngine::check(status);
            // The container answers no positive status here; one would still be no entry.
            throw ArchiveFailure::corrupt("ZIP (código " + std::to_string(status) + ")");
        }
        if (ZIPArchiveEngine::entryName(*this) == path)
            return;
        status = handle->gotoNextEntry();
    }
}

} // namespace vexa
