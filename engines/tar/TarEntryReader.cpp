#include "TarEntryReader.h"

#include "DecodedSource.h"
#include "GzipStreamReader.h"
#include "TarReadFailure.h"
#include "XzHeaderSource.h"
#include "XzStreamReader.h"
#include "ZstdRingReader.h"
#include "engines/codec/Bzip2.h"

#include <archive.h>
#include <archive_entry.h>
#include <string_view>

namespace vexa::tar {

namespace {

// A stretch of a gzip stream for each thread of an extraction several times over.
constexpr std::int64_t accessPointSpacing = 4 << 20;

bool hasGzipMagic(const char* bytes, std::size_t count) {
    return count >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
           static_cast<unsigned char>(bytes[1]) == 0x8B;
}

// "BZh", the block size, and the magic of a first block or of an empty stream's end: a plain
// TAR whose first name begins "BZh" is still a TAR.
bool hasBzip2Magic(const char* bytes, std::size_t count) {
    static constexpr unsigned char block[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    static constexpr unsigned char end[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
    if (count < 10 || std::string_view(bytes, 3) != "BZh" || bytes[3] < '1' || bytes[3] > '9')
        return false;
    std::string_view magic(bytes + 4, 6);
    return magic == std::string_view(reinterpret_cast<const char*>(block), 6) ||
           magic == std::string_view(reinterpret_cast<const char*>(end), 6);
}

// Tools that archive a folder's contents ("tar -C dir .") name every member "./...": the
// prefix means the archive's root, not a folder of its own.
std::string withoutCurrentFolderPrefix(std::string path) {
    while (path.rfind("./", 0) == 0)
        path.erase(0, 2);
    return path;
}

EntryKind entryKind(archive_entry* entry) {
    if (archive_entry_filetype(entry) == AE_IFLNK || archive_entry_symlink(entry) != nullptr)
        return EntryKind::symbolicLink;
    if (archive_entry_hardlink(entry) != nullptr)
        return EntryKind::hardLink;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
        return EntryKind::file;
    case AE_IFDIR:
        return EntryKind::directory;
    default:
        return EntryKind::special;
    }
}

} // namespace

TarEntryReader::TarEntryReader(const std::filesystem::path& archive, Progress& progress,
                               bool countsUnits, GrowingFile* growing, bool headersOnly)
    : kind_(tarFileKind(archive)), progress_(progress),
      file_(archive, progress, countsUnits, growing), headersOnly_(headersOnly) {
    fileTime_ = file_.modificationTime();
    // An empty file is an empty TAR, but no compressed stream at all.
    if (file_.size() == 0 &&
        (kind_.singleFile || (kind_.compression && *kind_.compression != TarCompression::none)))
        throw damagedArchive();
    char start[10];
    std::size_t count = file_.peekStart(start, sizeof start);
    // libarchive's gzip filter never compares a member's CRC-32 and length, so damaged data
    // would pass it; zlib checks both. Its xz filter decodes on one thread only.
    if (headersOnly && !kind_.singleFile && growing == nullptr &&
        XzStreamReader::hasMagic(start, count)) {
        std::optional<std::vector<XzBlock>> blocks = readXzBlocks(file_.descriptor(), file_.size());
        if (blocks && XzHeaderSource::suits(*blocks)) {
            headerSource_ = std::make_unique<XzHeaderSource>(
                file_.descriptor(), file_.size(), std::move(*blocks), progress, countsUnits);
            archive_ = std::make_unique<ArchiveReadHandle>(*headerSource_,
                                                           ArchiveReadHandle::Content::tar, false);
            return;
        }
    }
    if (ZstdRingReader::hasMagic(start, count)) {
        // Nothing decodes a zstd frame from its middle, but its entries' places let a later
        // reading from the start cut out their data without parsing the headers again.
        ahead_ = std::make_unique<ZstdRingReader>(file_);
    } else if (hasGzipMagic(start, count)) {
        auto gzip = std::make_unique<GzipStreamReader>(file_);
        if (headersOnly && !kind_.singleFile && growing == nullptr) {
            gzip->recordAccessPoints(accessPointSpacing);
            gzip_ = gzip.get();
        }
        decoder_ = std::move(gzip);
    } else if (XzStreamReader::hasMagic(start, count)) {
        decoder_ = std::make_unique<XzStreamReader>(file_);
    } else if (hasBzip2Magic(start, count)) {
        // The TAR reader above may stop at the archive's end blocks; the read-ahead still decodes
        // the rest of the stream and compares its checks.
        decoder_ = std::make_unique<DecodedSource>(file_, std::make_unique<codec::Bzip2Decoder>());
    }
    if (decoder_)
        ahead_ = std::make_unique<DecoderReadAhead>(*decoder_);

    if (kind_.singleFile && ahead_) {
        singleData_ = ahead_.get();
    } else if (kind_.singleFile) {
        archive_ =
            std::make_unique<ArchiveReadHandle>(file_, ArchiveReadHandle::Content::raw, true);
        archive_->next();
    } else if (ahead_) {
        archive_ =
            std::make_unique<ArchiveReadHandle>(*ahead_, ArchiveReadHandle::Content::tar, false);
        if (!headersOnly_)
            archive_->dropHistory();
    } else {
        archive_ = std::make_unique<ArchiveReadHandle>(file_, ArchiveReadHandle::Content::tar, true,
                                                       &file_);
    }
}

TarEntryReader::~TarEntryReader() = default;

std::optional<GzipAccessPoints> TarEntryReader::takeGzipAccessPoints() {
    // The decoding thread has ended: the reader met the end of the data.
    if (gzip_ == nullptr || current_ != nullptr)
        return std::nullopt;
    return gzip_->takeAccessPoints();
}

KeptBlocks TarEntryReader::takeKeptXzBlocks() {
    if (headerSource_ == nullptr)
        return {};
    return static_cast<XzHeaderSource&>(*headerSource_).takeKeptBlocks();
}

std::optional<TarEntryHeader> TarEntryReader::next() {
    if (kind_.singleFile) {
        if (singleDelivered_)
            return std::nullopt;
        singleDelivered_ = true;
        TarEntryHeader header;
        header.path = kind_.entryName;
        header.modificationTime = fileTime_;
        return header;
    }
    for (;;) {
        // Only the readings that note where entries lie for a later one spend the work.
        bool lending = headersOnly_ && (ahead_ || headerSource_);
        if (lending)
            archive_->startCapture();
        archive_entry* entry = archive_->next();
        current_ = entry;
        if (entry == nullptr) {
            finishStream();
            return std::nullopt;
        }
        std::optional<TarPlacement> placement;
        if (lending) {
            std::int64_t start = 0;
            if (std::optional<std::uint32_t> crc = archive_->finishCapture(start))
                placement = TarPlacement{start, archive_->position(), *crc, 0644, std::nullopt};
        }
        // Read from kept headers only, an entry is sound only when all its header bytes were.
        if (headerSource_ &&
            (!placement || static_cast<XzHeaderSource&>(*headerSource_)
                               .servedUnreadable(placement->headerOffset, placement->dataOffset)))
            throw damagedArchive();
        // The program runs in the C locale, where the library keeps a name's stored bytes
        // (UTF-8 from current tools) as its plain form. Asking for the UTF-8 form would only
        // convert them again, opening a converter for every entry, and in a UTF-8 locale the
        // library would have changed decomposed names to their composed form.
        const char* name = archive_entry_pathname(entry);
        if (name == nullptr)
            name = archive_entry_pathname_utf8(entry);
        std::string raw = name == nullptr ? std::string() : std::string(name);
        TarEntryHeader header;
        header.kind = entryKind(entry);
        header.path = withoutCurrentFolderPrefix(raw);
        if (header.kind == EntryKind::directory) {
            if (header.path.empty() || header.path == ".")
                continue; // the archive's root itself
            if (header.path.back() != '/')
                header.path += '/';
        } else if (header.path.empty()) {
            header.path = raw; // keeps a nameless oddity visible to the validation
        }
        if (header.kind == EntryKind::hardLink) {
            const char* target = archive_entry_hardlink(entry);
            header.linkTarget = withoutCurrentFolderPrefix(target == nullptr ? "" : target);
        }
        // A hard link normally has no data of its own; one that has is told by its size.
        header.size = header.kind == EntryKind::file || header.kind == EntryKind::hardLink
                          ? archive_entry_size(entry)
                          : 0;
        header.permissions = archive_entry_perm(entry) & 0777;
        if (archive_entry_mtime_is_set(entry))
            header.modificationTime =
                timespec{archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
        // A sparse file's data is not its bytes in the stream.
        if (placement && archive_entry_sparse_count(entry) == 0) {
            header.placement = placement;
            header.placement->permissions = header.permissions;
            header.placement->modificationTime = header.modificationTime;
        }
        return header;
    }
}

void TarEntryReader::finishStream() {
    // Whatever follows the end blocks is not the archive's, as GNU tar, bsdtar and Python's
    // tarfile read it too; a compressed stream is still decoded to its end, where its checks
    // tell whether the bytes before were sound.
    LendingSource* stream = headerSource_ ? headerSource_.get() : ahead_.get();
    if (stream == nullptr) {
        file_.skip(file_.size());
        return;
    }
    const char* data = nullptr;
    while (stream->lend(&data) != 0)
        progress_.throwIfCancelled();
}

std::unique_ptr<archive_entry, void (*)(archive_entry*)> TarEntryReader::currentEntry() const {
    return {current_ == nullptr ? nullptr : archive_entry_clone(current_), &archive_entry_free};
}

std::size_t TarEntryReader::read(char* buffer, std::size_t capacity) {
    if (singleData_ != nullptr)
        return singleData_->read(buffer, capacity);
    return archive_->readData(buffer, capacity);
}

void TarEntryReader::skip() {
    if (kind_.singleFile)
        return;
    archive_->skipData();
}

} // namespace vexa::tar
