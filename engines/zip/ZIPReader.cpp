#include "engines/zip/ZIPReader.h"

#include "engines/zip/ZIPArchiveEngine.h"
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

} // namespace vexa
