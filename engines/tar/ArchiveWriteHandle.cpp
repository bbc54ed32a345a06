#include "ArchiveWriteHandle.h"

#include "StreamEncoder.h"
#include "TarReadFailure.h"
#include "TarWriteFailure.h"

#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <clocale>
#include <locale.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vexa::tar {

namespace {

// libarchive converts names through the thread's character set, and the program's may be
// ASCII: the pax writer then loses every non-ASCII name (or worse). Names are UTF-8 here, so
// each call into the writer runs with a UTF-8 character set on this thread only.
class UTF8CharacterSet {
  public:
    UTF8CharacterSet() {
        static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
        if (utf8 != locale_t{})
            previous_ = ::uselocale(utf8);
    }
    ~UTF8CharacterSet() {
        if (previous_ != locale_t{})
            ::uselocale(previous_);
    }
    UTF8CharacterSet(const UTF8CharacterSet&) = delete;
    UTF8CharacterSet& operator=(const UTF8CharacterSet&) = delete;

  private:
    locale_t previous_{};
};

} // namespace

ArchiveWriteHandle::ArchiveWriteHandle(const std::filesystem::path& output, Content content,
                                       TarCompression compression, std::optional<int> level,
                                       GrowingFile* growing, XattrRecords xattrRecords)
    : location_(output), xattrRecords_(xattrRecords), file_(files::createFile(output, 0644)),
      growing_(growing) {
    // libarchive writes plain TAR; the codec layer compresses what it writes.
    if (StreamEncoder encoder = startStreamEncoder(compression, level); encoder.encoder)
        compressed_ =
            std::make_unique<CompressingWriter>(file_.get(), location_, std::move(encoder.encoder),
                                                encoder.blockSize, [growing](std::int64_t length) {
                                                    if (growing != nullptr)
                                                        growing->grew(length);
                                                });
    UTF8CharacterSet characterSet;
    handle_ = archive_write_new();
    if (handle_ == nullptr)
        throw outOfMemory();
    int status = content == Content::tar         ? archive_write_set_format_pax_restricted(handle_)
                 : content == Content::copiedTar ? archive_write_set_format_pax(handle_)
                                                 : archive_write_set_format_raw(handle_);
    if (status == ARCHIVE_OK && content == Content::copiedTar)
        status = archive_write_set_format_option(
            handle_, "pax", "xattrheader", xattrRecords == XattrRecords::both ? "ALL" : "SCHILY");
    if (status == ARCHIVE_OK)
        status = archive_write_add_filter_none(handle_);
    // Only a plain TAR is padded to the customary full last block; the compressors get the TAR
    // as it ends, and a single file is only its own bytes.
    if (status == ARCHIVE_OK && (content == Content::raw || compression != TarCompression::none))
        status = archive_write_set_bytes_in_last_block(handle_, 1);
    // The compressing writer keeps its own buffers: without blocks of the library's, the data goes
    // straight from the caller's memory to the compressor, without one more copy.
    if (status == ARCHIVE_OK && compressed_)
        status = archive_write_set_bytes_per_block(handle_, 0);
    if (status == ARCHIVE_OK)
        status = archive_write_open(handle_, this, nullptr, writeCallback, nullptr);
    if (status != ARCHIVE_OK) {
        archive_write_free(handle_);
        handle_ = nullptr;
        if (growing_ != nullptr)
            growing_->abandoned();
        if (sinkFailure_)
            std::rethrow_exception(sinkFailure_);
        throw writerFailure();
    }
}

ArchiveWriteHandle::~ArchiveWriteHandle() {
    archive_entry_free(header_);
    if (growing_ != nullptr && !finished_)
        growing_->abandoned();
    if (handle_ != nullptr) {
        UTF8CharacterSet characterSet;
        // An unfinished archive is thrown away. Marked as failed, the close skips padding out
        // the current entry (gigabytes of zeros through the compressor after a cancel).
        discarding_ = true;
        archive_write_fail(handle_);
        archive_write_close(handle_);
        archive_write_free(handle_);
    }
}

void ArchiveWriteHandle::begin(const TarWriteEntry& entry) {
    UTF8CharacterSet characterSet;
    // One header object serves every entry: a new one each time was a large allocation, which
    // made the allocator merge every small block freed since the entry before.
    if (header_ == nullptr)
        header_ = archive_entry_new();
    else
        archive_entry_clear(header_);
    if (header_ == nullptr)
        throw outOfMemory();
    archive_entry* header = header_;
    archive_entry_copy_pathname(header, entry.path.c_str());
    archive_entry_set_filetype(header, entry.isDirectory ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(header, entry.permissions & 07777);
    archive_entry_set_size(header, entry.isDirectory ? 0 : entry.size);
    if (entry.modificationTime)
        archive_entry_set_mtime(header, entry.modificationTime->tv_sec,
                                entry.modificationTime->tv_nsec);
    if (archive_write_header(handle_, header) != ARCHIVE_OK)
        fail();
}

void ArchiveWriteHandle::beginCopy(archive_entry* original, const std::string& path) {
    UTF8CharacterSet characterSet;
    // The reader gives an attribute once for each record that carried it: written as they come,
    // each would be recorded again in every form.
    std::vector<std::pair<std::string, std::string>> attributes;
    bool doubled = false;
    archive_entry_xattr_reset(original);
    const char* name = nullptr;
    const void* value = nullptr;
    std::size_t size = 0;
    while (archive_entry_xattr_next(original, &name, &value, &size) == ARCHIVE_OK) {
        std::pair<std::string, std::string> attribute(
            name == nullptr ? "" : name, std::string(static_cast<const char*>(value), size));
        if (std::find(attributes.begin(), attributes.end(), attribute) != attributes.end())
            doubled = true;
        else
            attributes.push_back(std::move(attribute));
    }
    if (doubled && xattrRecords_ == XattrRecords::schily)
        throw BothXattrRecordsMet{};
    if (doubled) {
        archive_entry_xattr_clear(original);
        for (const auto& [key, bytes] : attributes)
            archive_entry_xattr_add_entry(original, key.c_str(), bytes.data(), bytes.size());
    }
    archive_entry_copy_pathname(original, path.c_str());
    if (archive_write_header(handle_, original) != ARCHIVE_OK)
        fail();
}

void ArchiveWriteHandle::beginCopiedLink(archive_entry* original, const std::string& path,
                                         const std::optional<std::string>& target,
                                         std::int64_t size) {
    {
        UTF8CharacterSet characterSet;
        archive_entry_copy_hardlink(original, target ? target->c_str() : nullptr);
        if (!target)
            archive_entry_set_filetype(original, AE_IFREG);
        archive_entry_set_size(original, target ? 0 : size);
    }
    beginCopy(original, path);
}

void ArchiveWriteHandle::write(const char* data, std::size_t size) {
    UTF8CharacterSet characterSet;
    while (size > 0) {
        la_ssize_t written = archive_write_data(handle_, data, size);
        if (written <= 0)
            fail();
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void ArchiveWriteHandle::finish() {
    UTF8CharacterSet characterSet;
    if (archive_write_close(handle_) != ARCHIVE_OK)
        fail();
    archive_write_free(handle_);
    handle_ = nullptr;
    if (compressed_)
        compressed_->finish();
    reportLength();
    file_.close();
    finished_ = true;
    if (growing_ != nullptr)
        growing_->finished();
}

void ArchiveWriteHandle::reportLength() {
    if (compressed_)
        length_ = compressed_->written();
    // The reader is woken only for new bytes: most small writes only fill the compressor.
    if (growing_ != nullptr && length_ != reported_) {
        reported_ = length_;
        growing_->grew(length_);
    }
}

ssize_t ArchiveWriteHandle::writeCallback(archive*, void* self, const void* data,
                                          std::size_t size) {
    auto* handle = static_cast<ArchiveWriteHandle*>(self);
    if (handle->discarding_)
        return static_cast<ssize_t>(size);
    try {
        // The compressing writer's own thread tells the reader what reaches the file.
        if (handle->compressed_) {
            handle->compressed_->write(data, size);
        } else {
            files::writeAll(handle->file_.get(), data, size, handle->location_);
            handle->length_ += static_cast<std::int64_t>(size);
            handle->reportLength();
        }
        return static_cast<ssize_t>(size);
    } catch (...) {
        handle->sinkFailure_ = std::current_exception();
        return -1;
    }
}

void ArchiveWriteHandle::fail() {
    if (sinkFailure_)
        std::rethrow_exception(sinkFailure_);
    if (archive_errno(handle_) == ENOMEM)
        throw outOfMemory();
    throw writerFailure();
}

} // namespace vexa::tar
