#include "engines/zip/ZIPWriter.h"

#include "engines/zip/ZIPArchiveEngine.h"
#include "platform/PlatformError.h"

namespace vexa {

ZIPWriter::ZIPWriter(const std::filesystem::path& archive, std::int64_t diskSize)
    : handle(ZipFileWriter::create()) {
    if (!handle)
        throw PlatformError(PlatformError::Code::fileWriteUnknown, archive.string());
    // A throw below still destroys `handle`, which ends whatever file it started.
    ZIPArchiveEngine::check(handle->openFile(archive.c_str(), diskSize));
    ZIPArchiveEngine::check(handle->getZipHandle(&zip));
}

void ZIPWriter::openEntry(const std::string& name, ZipFileInfo& header, bool compress,
                          bool isDirectory, const std::optional<std::string>& password) {
    header.filename = name.c_str();
    const char* bytes = isDirectory || !password ? nullptr : password->c_str();
    ZIPArchiveEngine::check(zip->entryWriteOpen(&header, compress ? 6 : 0, 0, bytes));
}

void ZIPWriter::openRawEntry(const std::string& name, ZipFileInfo& header) {
    header.filename = name.c_str();
    ZIPArchiveEngine::check(zip->entryWriteOpen(&header, 6, 1, nullptr));
}

void ZIPWriter::openPrecompressedEntry(const std::string& name, ZipFileInfo& header,
                                       bool compress) {
    header.filename = name.c_str();
    ZIPArchiveEngine::check(zip->entryWriteOpen(&header, compress ? 6 : 0, 2, nullptr));
}

void ZIPWriter::close() {
    if (closed)
        return;
    closed = true;
    ZIPArchiveEngine::check(handle->close());
}

} // namespace vexa
