#include "ArchiveReadHandle.h"

#include "FileByteSource.h"
#include "TarReadFailure.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <cerrno>

namespace vexa::tar {

namespace {
constexpr std::size_t blockSize = 256 * 1024;
// libarchive's errno for data that no enabled format or filter recognises, on Linux.
constexpr int unrecognisedFormat = EILSEQ;
// A header that starts in a block lent earlier is found in this much of the blocks before;
// header records longer than the cap (huge extended headers) are left unplaced.
constexpr std::size_t historySize = 64 * 1024;
constexpr std::size_t captureCap = 1 << 20;
} // namespace

ArchiveReadHandle::ArchiveReadHandle(ByteSource& source, Content content, bool decompress,
                                     FileByteSource* seekable)
    : content_(content), source_(source), lender_(dynamic_cast<LendingSource*>(&source)),
      seekable_(seekable), block_(lender_ != nullptr ? 0 : blockSize) {
    handle_ = archive_read_new();
    if (handle_ == nullptr)
        throw outOfMemory();
    if (content == Content::tar) {
        archive_read_support_format_tar(handle_);
        archive_read_support_format_empty(handle_);
    } else {
        archive_read_support_format_raw(handle_);
    }
    if (decompress) {
        archive_read_support_filter_bzip2(handle_);
        archive_read_support_filter_xz(handle_);
    }
    archive_read_set_callback_data(handle_, this);
    archive_read_set_read_callback(handle_, &ArchiveReadHandle::readCallback);
    if (seekable_ != nullptr || (lender_ != nullptr && lender_->skips()))
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
            reader->keepLentBlock();
            const char* data = nullptr;
            std::size_t count = reader->lender_->lend(&data);
            reader->lent_ = data;
            reader->lentSize_ = count;
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
        if (reader->seekable_ == nullptr) {
            // The bytes before the skip are no longer the ones just before the next block.
            reader->keepLentBlock();
            reader->history_.clear();
            if (reader->capturing_)
                reader->captureBroken_ = true;
            std::int64_t skipped = reader->lender_->skip(request);
            reader->lentStart_ += skipped;
            return skipped;
        }
        std::int64_t skipped = reader->seekable_->skip(request);
        return skipped < 0 ? 0 : skipped;
    } catch (...) {
        reader->sourceFailure_ = std::current_exception();
        archive_set_error(handle, EIO, "source failed");
        return ARCHIVE_FATAL;
    }
}

void ArchiveReadHandle::keepLentBlock() {
    if (lent_ == nullptr)
        return;
    if (capturing_ && !captureBroken_) {
        std::int64_t from = std::max(captureStart_, lentStart_) - lentStart_;
        if (from < static_cast<std::int64_t>(lentSize_))
            captured_.insert(captured_.end(), lent_ + from, lent_ + lentSize_);
        if (captured_.size() > captureCap)
            captureBroken_ = true;
    }
    if (keepsHistory_) {
        // A later capture starts where the library has consumed up to, never before it: of
        // a block gone by whole (entry data skipped) nothing needs keeping.
        std::int64_t end = lentStart_ + static_cast<std::int64_t>(lentSize_);
        std::int64_t from = std::max(position(), end - static_cast<std::int64_t>(historySize));
        if (from >= lentStart_) {
            history_.assign(lent_ + (from - lentStart_), lent_ + lentSize_);
        } else {
            std::int64_t historyStart = lentStart_ - static_cast<std::int64_t>(history_.size());
            history_.erase(history_.begin(),
                           history_.begin() + std::max<std::int64_t>(from - historyStart, 0));
            history_.insert(history_.end(), lent_, lent_ + lentSize_);
        }
    }
    lentStart_ += static_cast<std::int64_t>(lentSize_);
    lent_ = nullptr;
    lentSize_ = 0;
}

std::int64_t ArchiveReadHandle::position() const {
    return archive_filter_bytes(handle_, 0);
}

void ArchiveReadHandle::startCapture() {
    capturing_ = true;
    captureBroken_ = lender_ == nullptr;
    captureStart_ = position();
    captured_.clear();
    if (captureStart_ < lentStart_) {
        std::int64_t back = lentStart_ - captureStart_;
        if (back > static_cast<std::int64_t>(history_.size()))
            captureBroken_ = true;
        else
            captured_.assign(history_.end() - back, history_.end());
    }
}

std::optional<std::uint32_t> ArchiveReadHandle::finishCapture(std::int64_t& start) {
    capturing_ = false;
    start = captureStart_;
    std::int64_t end = position();
    if (captureBroken_ || end > lentStart_ + static_cast<std::int64_t>(lentSize_) ||
        end < captureStart_)
        return std::nullopt;
    std::uint32_t crc = 0;
    std::int64_t inCaptured = std::min(end, lentStart_) - captureStart_;
    if (inCaptured > 0)
        crc = platform::crc32(crc, captured_.data(), static_cast<std::size_t>(inCaptured));
    std::int64_t from = std::max(captureStart_, lentStart_);
    if (end > from)
        crc =
            platform::crc32(crc, lent_ + (from - lentStart_), static_cast<std::size_t>(end - from));
    return crc;
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
