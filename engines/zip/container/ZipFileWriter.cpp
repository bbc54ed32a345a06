#include "engines/zip/container/ZipFileWriter.h"

#include "engines/zip/container/ZipArchiveState.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"

#include <new>

namespace vexa {

std::unique_ptr<ZipFileWriter> ZipFileWriter::create() {
    return std::unique_ptr<ZipFileWriter>(new (std::nothrow) ZipFileWriter());
}

ZipFileWriter::~ZipFileWriter() {
    if (!zip_)
        return;
    try {
        close();
    } catch (const PlatformError&) {
    }
}

int ZipFileWriter::openFile(const char* path, int64_t diskSize) {
    if (path == nullptr || zip_)
        return zipstatus::param;
    try {
        auto state = std::make_unique<ZipArchiveState>(ZipArchiveState::Mode::writing);
        int status = state->openForWriting(path, diskSize);
        if (status != zipstatus::ok)
            return status;
        zip_ = std::make_unique<ZipHandle>(std::move(state));
        return zipstatus::ok;
    } catch (const PlatformError&) {
        throw;
    } catch (...) {
        return zipstatus::internal;
    }
}

int ZipFileWriter::getZipHandle(ZipHandle** zip) {
    if (zip == nullptr)
        return zipstatus::param;
    *zip = zip_ && !zip_->state().finished ? zip_.get() : nullptr;
    return *zip != nullptr ? zipstatus::ok : zipstatus::exist;
}

int ZipFileWriter::close() {
    if (!zip_)
        return zipstatus::exist;
    try {
        return zip_->state().finishWriting();
    } catch (const PlatformError&) {
        throw;
    } catch (...) {
        return zipstatus::internal;
    }
}

} // namespace vexa
