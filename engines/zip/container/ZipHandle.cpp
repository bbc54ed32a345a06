#include "engines/zip/container/ZipHandle.h"

#include "engines/zip/container/ZipArchiveState.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <new>

namespace vexa {

using namespace ziprecords;

namespace {

// Allocation failures become a status; only a platform error of the output file goes through.
template <typename Call> auto guarded(Call&& call) -> decltype(call()) {
    try {
        return call();
    } catch (const PlatformError&) {
        throw;
    } catch (const std::bad_alloc&) {
        return zipstatus::internal;
    } catch (...) {
        return zipstatus::internal;
    }
}

uint32_t posixMode(uint32_t attrib, uint8_t host, bool* known) {
    *known = true;
    switch (host) {
    case 3:  // Unix
    case 13: // Acorn RISC OS
    case 19: // OS X
        return (attrib >> 16) != 0 ? attrib >> 16 : attrib;
    case 0:  // MS-DOS and OS/2 FAT
    case 10: // Windows NTFS
    case 14: // VFAT
        if ((attrib & 0x400) != 0)
            return 0120000; // a reparse point stands for a link
        return (attrib & 0x10) != 0 ? 0040000 : 0100000;
    default:
        *known = false;
        return 0;
    }
}

} // namespace

ZipHandle::ZipHandle(std::unique_ptr<ZipArchiveState> state) : state_(std::move(state)) {}
ZipHandle::~ZipHandle() = default;

int ZipHandle::getNumberEntry(uint64_t* count) const {
    if (count == nullptr)
        return zipstatus::param;
    if (state_->mode() == ZipArchiveState::Mode::reading)
        *count = state_->directory ? state_->directory->entryCount() : 0;
    else
        *count = state_->records.size();
    return zipstatus::ok;
}

int ZipHandle::getZip64(bool* zip64) const {
    if (zip64 == nullptr)
        return zipstatus::param;
    *zip64 = state_->mode() == ZipArchiveState::Mode::reading && state_->directory &&
             state_->directory->hasZip64End();
    return zipstatus::ok;
}

int ZipHandle::getSetPosition(uint32_t disk, uint64_t offset, bool directory, uint64_t* position) {
    if (position == nullptr || state_->mode() != ZipArchiveState::Mode::reading ||
        !state_->directory)
        return zipstatus::param;
    return guarded([&] {
        return directory ? state_->directory->directoryPosition(position)
                         : state_->directory->setPosition(disk, offset, position);
    });
}

int ZipHandle::getDiskNumberWithCd(uint32_t* disk) const {
    if (disk == nullptr)
        return zipstatus::param;
    if (state_->mode() == ZipArchiveState::Mode::reading)
        *disk = state_->directory ? state_->directory->diskWithCd() : 0;
    else
        *disk = state_->diskWithCd;
    return zipstatus::ok;
}

int ZipHandle::gotoFirstEntry() {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::reading || !state_->directory)
            return zipstatus::param;
        if (state_->entryReader->isOpen())
            state_->entryReader->close();
        return state_->directory->gotoFirstEntry();
    });
}

int ZipHandle::gotoNextEntry() {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::reading || !state_->directory)
            return zipstatus::param;
        if (state_->entryReader->isOpen())
            state_->entryReader->close();
        return state_->directory->gotoNextEntry();
    });
}

int ZipHandle::entryGetInfo(const ZipFileInfo** info) const {
    if (info == nullptr)
        return zipstatus::param;
    *info = nullptr;
    if (state_->mode() != ZipArchiveState::Mode::reading || !state_->directory)
        return zipstatus::param;
    const CentralEntry* entry = state_->directory->current();
    if (entry == nullptr)
        return zipstatus::exist;
    *info = &entry->info;
    return zipstatus::ok;
}

int ZipHandle::entryIsDir() const {
    const ZipFileInfo* info = nullptr;
    int status = entryGetInfo(&info);
    if (status != zipstatus::ok)
        return status;
    if (info->filename_size > 0) {
        const char last = info->filename[info->filename_size - 1];
        if (last == '/' || last == '\\')
            return zipstatus::ok;
    }
    bool known = false;
    uint32_t mode =
        posixMode(info->external_fa, static_cast<uint8_t>(info->version_madeby >> 8), &known);
    return known && (mode & 0170000) == 0040000 ? zipstatus::ok : zipstatus::exist;
}

int ZipHandle::entryReadOpen(uint8_t raw, const char* password) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::reading || !state_->directory)
            return zipstatus::param;
        const CentralEntry* entry = state_->directory->current();
        if (entry == nullptr)
            return zipstatus::param;
        if (state_->entryReader->isOpen())
            state_->entryReader->close();
        return state_->entryReader->open(*entry, raw != 0, password);
    });
}

int32_t ZipHandle::entryRead(void* buffer, int32_t length) {
    return guarded([&]() -> int32_t {
        if (state_->mode() != ZipArchiveState::Mode::reading || !state_->entryReader)
            return zipstatus::param;
        return state_->entryReader->read(buffer, length);
    });
}

int64_t ZipHandle::entryReadAt(uint64_t position, void* buffer, size_t length) const {
    if (state_->mode() != ZipArchiveState::Mode::reading || !state_->entryReader ||
        (buffer == nullptr && length > 0))
        return zipstatus::param;
    return state_->entryReader->readAt(position, buffer, length);
}

int ZipHandle::entryReadClose(uint32_t* crc, int64_t* compressedSize, int64_t* uncompressedSize) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::reading || !state_->entryReader ||
            !state_->entryReader->isOpen())
            return zipstatus::param;
        int status = state_->entryReader->close();
        const CentralEntry* entry = state_->directory->current();
        if (entry != nullptr) {
            if (crc != nullptr)
                *crc = entry->info.crc;
            if (compressedSize != nullptr)
                *compressedSize = entry->info.compressed_size;
            if (uncompressedSize != nullptr)
                *uncompressedSize = entry->info.uncompressed_size;
        }
        return status;
    });
}

int ZipHandle::getComment(std::string* comment) const {
    if (comment == nullptr)
        return zipstatus::param;
    if (state_->mode() == ZipArchiveState::Mode::reading)
        *comment = state_->directory ? state_->directory->comment() : std::string();
    else
        *comment = state_->comment;
    return zipstatus::ok;
}

int ZipHandle::getBias(uint64_t* bias) const {
    if (bias == nullptr || state_->mode() != ZipArchiveState::Mode::reading)
        return zipstatus::param;
    *bias = static_cast<uint64_t>(std::max<int64_t>(state_->input.bias(), 0));
    return zipstatus::ok;
}

int ZipHandle::setComment(const std::string& comment) {
    if (state_->mode() != ZipArchiveState::Mode::writing || comment.size() > 0xffff)
        return zipstatus::param;
    state_->comment = comment;
    return zipstatus::ok;
}

int ZipHandle::writePrefix(const void* data, size_t length) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::writing || !state_->entryWriter ||
            state_->finished || state_->entryWriter->isOpen() || !state_->records.empty() ||
            state_->output.isSplit())
            return zipstatus::param;
        return state_->output.write(data, length);
    });
}

int ZipHandle::entryWriteOpen(const ZipFileInfo* info, int16_t level, uint8_t raw,
                              const char* password) {
    return guarded([&] {
        if (info == nullptr || state_->mode() != ZipArchiveState::Mode::writing ||
            !state_->entryWriter || state_->finished || state_->entryWriter->isOpen())
            return zipstatus::param;
        return state_->entryWriter->open(*info, level, raw != 0, password, raw == 2);
    });
}

int32_t ZipHandle::entryWrite(const void* buffer, int32_t length) {
    return guarded([&]() -> int32_t {
        if (state_->mode() != ZipArchiveState::Mode::writing || !state_->entryWriter)
            return zipstatus::param;
        return state_->entryWriter->write(buffer, length);
    });
}

int ZipHandle::entryClose() {
    if (state_->mode() == ZipArchiveState::Mode::reading)
        return entryReadClose(nullptr, nullptr, nullptr);
    return guarded([&] {
        if (!state_->entryWriter)
            return zipstatus::param;
        int status = state_->entryWriter->close();
        if (status == zipstatus::ok)
            state_->records.push_back(state_->entryWriter->record());
        return status;
    });
}

int ZipHandle::entryWriteClose(uint32_t crc, int64_t compressedSize, int64_t uncompressedSize) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::writing || !state_->entryWriter)
            return zipstatus::param;
        int status = state_->entryWriter->isRaw()
                         ? state_->entryWriter->closeRaw(crc, compressedSize, uncompressedSize)
                         : state_->entryWriter->close();
        if (status == zipstatus::ok)
            state_->records.push_back(state_->entryWriter->record());
        return status;
    });
}

int ZipHandle::skipData(uint64_t length) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::writing || !state_->entryWriter ||
            state_->finished || state_->output.isSplit())
            return zipstatus::param;
        if (state_->entryWriter->isOpen())
            return state_->entryWriter->skipRaw(length);
        return state_->output.skip(length);
    });
}

int ZipHandle::reserveEntries(uint64_t count) {
    return guarded([&] {
        if (state_->mode() != ZipArchiveState::Mode::writing)
            return zipstatus::param;
        state_->records.reserve(static_cast<size_t>(count));
        return zipstatus::ok;
    });
}

int ZipHandle::getWriteOffset(uint64_t* offset) const {
    if (offset == nullptr || state_->mode() != ZipArchiveState::Mode::writing)
        return zipstatus::param;
    *offset = state_->output.offset();
    return zipstatus::ok;
}

int ZipHandle::addCopiedEntry(const ZipFileInfo* info, uint64_t offset) {
    return guarded([&] {
        if (info == nullptr || info->filename == nullptr || info->filename_size == 0 ||
            info->compressed_size < 0 || info->uncompressed_size < 0 ||
            state_->mode() != ZipArchiveState::Mode::writing || !state_->entryWriter ||
            state_->finished || state_->entryWriter->isOpen() || state_->output.isSplit())
            return zipstatus::param;
        CentralRecord record;
        record.versionMadeBy = info->version_madeby;
        record.versionNeeded = info->version_needed;
        record.flag = info->flag;
        record.method = info->aes_version != 0 ? methodAes : info->compression_method;
        record.dosDate = info->dos_date;
        record.crc = info->crc;
        record.compressedSize = static_cast<uint64_t>(info->compressed_size);
        record.uncompressedSize = static_cast<uint64_t>(info->uncompressed_size);
        record.offset = offset;
        record.internalAttributes = info->internal_fa;
        record.externalAttributes = info->external_fa;
        // An entry whose local header carries ZIP64 sizes keeps them in its central record too.
        record.forceZip64 = info->zip64 != 0;
        record.name.assign(info->filename, info->filename_size);
        record.extra = extraFieldsBesideZip64(info->extrafield, info->extrafield_size);
        if (info->comment != nullptr)
            record.comment.assign(info->comment, info->comment_size);
        state_->records.push_back(std::move(record));
        return zipstatus::ok;
    });
}

int zipAttribIsSymlink(uint32_t attrib, int32_t versionMadeBy) {
    bool known = false;
    uint32_t mode = posixMode(attrib, static_cast<uint8_t>((versionMadeBy >> 8) & 0xff), &known);
    return known && (mode & 0170000) == 0120000 ? zipstatus::ok : zipstatus::exist;
}

} // namespace vexa
