#include "engines/zip/container/ZipFileReader.h"

#include "engines/zip/container/ZipArchiveState.h"
#include "engines/zip/container/ZipStatus.h"

#include <new>

namespace vexa {

std::unique_ptr<ZipFileReader> ZipFileReader::create() {
    return std::unique_ptr<ZipFileReader>(new (std::nothrow) ZipFileReader());
}

ZipFileReader::~ZipFileReader() = default;

int ZipFileReader::setRecover(bool recover) {
    return recover ? zipstatus::support : zipstatus::ok;
}

int ZipFileReader::openFile(const char* path) {
    if (path == nullptr || zip_)
        return zipstatus::param;
    try {
        auto state = std::make_unique<ZipArchiveState>(ZipArchiveState::Mode::reading);
        int status = state->openForReading(path);
        if (status != zipstatus::ok)
            return status;
        zip_ = std::make_unique<ZipHandle>(std::move(state));
        return zipstatus::ok;
    } catch (...) {
        return zipstatus::internal;
    }
}

int ZipFileReader::getZipHandle(ZipHandle** zip) {
    if (zip == nullptr)
        return zipstatus::param;
    *zip = zip_.get();
    return zip_ ? zipstatus::ok : zipstatus::exist;
}

int ZipFileReader::gotoFirstEntry() {
    return zip_ ? zip_->gotoFirstEntry() : zipstatus::param;
}
int ZipFileReader::gotoNextEntry() {
    return zip_ ? zip_->gotoNextEntry() : zipstatus::param;
}

int ZipFileReader::entryGetInfo(const ZipFileInfo** info) {
    if (!zip_) {
        if (info != nullptr)
            *info = nullptr;
        return zipstatus::param;
    }
    return zip_->entryGetInfo(info);
}

int ZipFileReader::entryIsDir() {
    return zip_ ? zip_->entryIsDir() : zipstatus::param;
}

int ZipFileReader::close() {
    if (!zip_)
        return zipstatus::exist;
    zip_.reset();
    return zipstatus::ok;
}

} // namespace vexa
