#include "ArchiveReadHandle.h"

#include "FileByteSource.h"
#include "ReadAheadSource.h"
#include "TarReadFailure.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>

namespace vexa::tar {

namespace {
constexpr std::size_t blockSize = 256 * 1024;
// libarchive's errno for data that no enabled format or filter recognises, on Linux.
constexpr int unrecognisedFormat = EILSEQ;
} // namespace

ArchiveReadHandle::ArchiveReadHandle(ByteSource& source, Content content, bool decompress,
                                     FileByteSource* seekable)
    : content_(content), source_(source), lender_(dynamic_cast<ReadAheadSource*>(&source)),
      seekable_(seekable), block_(lender_ != nullptr ? 0 : blockSize) {
    handle_ = archive_read_new();
    if (handle_ == nullptr)
        throw outOfMemory();
    if (content == Content::tar) {
        archive_read_support_format_tar(handle_);
        archive_read_support_format_empty(handle_);
        // Without this the reader stops at the first end-of-archive blocks, before a
        // compressed stream's checksum: damaged data would then list and extract as sound.
        archive_read_set_format_option(handle_, "tar", "read_concatenated_archives", "1");
    } else {
        archive_read_support_format_raw(handle_);
    }
    if (decompress) {
        archive_read_support_filter_bzip2(handle_);
        archive_read_support_filter_xz(handle_);
    }
    archive_read_set_callback_data(handle_, this);
    archive_read_set_read_callback(handle_, &ArchiveReadHandle::readCallback);
    if (seekable_ != nullptr)
        archive_read_set_skip_callback(handle_, &ArchiveReadHandle::skipCallback);
    if (archive_read_open1(handle_) != ARCHIVE_OK) {
        // The destructor does not run for a constructor that throws.
        try {
            fail();
        } catch (...) {
            archive_read_free(handle_);
            throw;
        }
    }
}

ArchiveReadHandle::~ArchiveReadHandle() {
    archive_read_free(handle_);
}

ssize_t ArchiveReadHandle::readCallback(archive* handle, void* self, const void** block) {
    auto* reader = static_cast<ArchiveReadHandle*>(self);
    try {
        if (reader->lender_ != nullptr) {
            const char* data = nullptr;
            std::size_t count = reader->lender_->lend(&data);
            *block = data;
            return static_cast<ssize_t>(count);
        }
        *block = reader->block_.data();
        return static_cast<ssize_t>(
            reader->source_.read(reader->block_.data(), reader->block_.size()));
    } catch (...) {
        // C code sits between here and the caller: carry the exception across it.
        reader->sourceFailure_ = std::current_exception();
        archive_set_error(handle, EIO, "source failed");
        return ARCHIVE_FATAL;
    }
}

std::int64_t ArchiveReadHandle::skipCallback(archive* handle, void* self, std::int64_t request) {
    auto* reader = static_cast<ArchiveReadHandle*>(self);
    try {
        std::int64_t skipped = reader->seekable_->skip(request);
        return skipped < 0 ? 0 : skipped;
    } catch (...) {
        reader->sourceFailure_ = std::current_exception();
        archive_set_error(handle, EIO, "source failed");
        return ARCHIVE_FATAL;
    }
}

void ArchiveReadHandle::fail() {
    if (sourceFailure_)
        std::rethrow_exception(sourceFailure_);
    int number = archive_errno(handle_);
    if (number == ENOMEM)
        throw outOfMemory();
    // Nothing recognised the first bytes: not a TAR (nor a known compression) at all. Behind
    // a recognised compression the same answer means the decoded data was unreadable.
    if (!sawEntry_ && number == unrecognisedFormat && !compressed())
        throw notTarArchive();
    throw damagedArchive();
}

bool ArchiveReadHandle::compressed() const {
    for (int i = 0; i < archive_filter_count(handle_); ++i)
        if (archive_filter_code(handle_, i) != ARCHIVE_FILTER_NONE)
            return true;
    return false;
}

archive_entry* ArchiveReadHandle::next() {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(handle_, &entry);
    if (status == ARCHIVE_EOF)
        return nullptr;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
        fail();
    if (content_ == Content::raw && !sawEntry_ &&
        archive_filter_code(handle_, 0) == ARCHIVE_FILTER_NONE)
        throw notTarArchive();
    sawEntry_ = true;
    return entry;
}

std::size_t ArchiveReadHandle::readData(char* buffer, std::size_t capacity) {
    la_ssize_t count = archive_read_data(handle_, buffer, capacity);
    if (count < 0 && count != ARCHIVE_WARN)
        fail();
    return count < 0 ? 0 : static_cast<std::size_t>(count);
}

void ArchiveReadHandle::skipData() {
    int status = archive_read_data_skip(handle_);
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
        fail();
}

} // namespace vexa::tar
