#pragma once

#include "ArchiveReadHandle.h"
#include "DecoderReadAhead.h"
#include "FileByteSource.h"
#include "GzipAccessPoints.h"
#include "KeptBlocks.h"
#include "TarFileKind.h"
#include "TarPlacement.h"
#include "platform/Progress.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vexa::tar {

enum class EntryKind { file, directory, symbolicLink, hardLink, special };

struct TarEntryHeader {
    std::string path; // as listed: no leading "./", folders end with "/"
    EntryKind kind = EntryKind::file;
    std::string linkTarget; // a hard link's: the path of the entry it names, as listed
    std::int64_t size = -1; // -1: only known once the data has been read (single files)
    mode_t permissions = 0644;
    std::optional<struct timespec> modificationTime;
    // Known for TAR archives decoded by this folder's stream readers (zstd, gzip, xz).
    std::optional<TarPlacement> placement;
};

// One pass over the entries of a TAR archive or over the one entry of a single compressed
// file. The decoder is chosen by the file's first bytes: zstd, gzip and xz through the stream
// readers of this folder, bzip2 through libarchive's decoder, each on a thread of its own ahead
// of the reader. The entries end at the archive's end blocks; what follows them is ignored.
class GzipStreamReader;

class TarEntryReader {
  public:
    // `countsUnits`: the bytes read from the archive file move the progress object.
    // `growing`: the archive is still being written (see FileByteSource).
    // `headersOnly`: only the entries' headers will be read, every data skipped; an xz TAR
    // archive of several blocks is then decoded on several threads (see XzHeaderSource).
    TarEntryReader(const std::filesystem::path& archive, Progress& progress, bool countsUnits,
                   GrowingFile* growing = nullptr, bool headersOnly = false);
    ~TarEntryReader();

    const TarFileKind& kind() const { return kind_; }
    std::int64_t archiveSize() const { return file_.size(); }
    const FileIdentity& archiveIdentity() const { return file_.identity(); }
    // The headers come from a source that keeps only them: a failure may be that source's,
    // which a reading of everything would not meet.
    bool readsHeadersOnly() const { return headerSource_ != nullptr; }
    // Reading headers only of a TAR archive of one gzip member, once every entry was read:
    // where later readings may start decoding (see GzipStreamReader::takeAccessPoints).
    std::optional<GzipAccessPoints> takeGzipAccessPoints();
    // Reading headers only of an xz TAR archive of several blocks, once every entry was read:
    // the decoded blocks it kept (see KeptBlocks); empty otherwise.
    KeptBlocks takeKeptXzBlocks();

    std::optional<TarEntryHeader> next();
    // Everything the archive says of the current entry (owner, group, times, extended
    // attributes...), as a copy of the library's entry; null for a single compressed file.
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> currentEntry() const;
    // The current entry's data; 0 at its end.
    std::size_t read(char* buffer, std::size_t capacity);
    void skip();

  private:
    void finishStream();

    TarFileKind kind_;
    Progress& progress_;
    FileByteSource file_;
    std::unique_ptr<ByteSource> decoder_;
    GzipStreamReader* gzip_ = nullptr;
    bool headersOnly_ = false;
    std::unique_ptr<LendingSource> ahead_;
    std::unique_ptr<LendingSource> headerSource_;
    std::unique_ptr<ArchiveReadHandle> archive_;
    ByteSource* singleData_ = nullptr;
    bool singleDelivered_ = false;
    archive_entry* current_ = nullptr;
    struct timespec fileTime_ {};
};

} // namespace vexa::tar
