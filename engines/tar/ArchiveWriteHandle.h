#pragma once

#include "CompressingWriter.h"
#include "GrowingFile.h"
#include "core/archive/TarCompression.h"
#include "platform/FileOperations.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <time.h>

struct archive;
struct archive_entry;

namespace vexa::tar {

struct TarWriteEntry {
    std::string path; // as it is to be listed: folders end with "/"
    bool isDirectory = false;
    std::int64_t size = 0;
    mode_t permissions = 0644;
    std::optional<struct timespec> modificationTime;
};

// One libarchive write handle into a new file, released with the object: a restricted-pax TAR
// archive, or the raw bytes of a single file, under one of the compressions. libarchive writes
// plain TAR only; the codec layer's encoders compress it (see StreamEncoder). A failure of the
// library or of an encoder throws ArchiveFailure::tarFailure; a failure of the file (a full
// disk) its platform error.
class ArchiveWriteHandle {
  public:
    enum class Content {
        tar,       // restricted pax: extended headers only where plain ustar falls short
        copiedTar, // full pax, so that copied entries keep their access and change times too
        raw,       // the bytes of one file
    };

    // How a copied entry's extended attributes are recorded: GNU tar writes SCHILY.xattr
    // records only, bsdtar both those and LIBARCHIVE.xattr ones.
    enum class XattrRecords { schily, both };
    // Thrown by beginCopy when the entry read carries both records while the handle writes
    // SCHILY ones only: the copy is to be made again with both.
    struct BothXattrRecordsMet {};

    // Creates `output`, which must not exist. `level` (1 to 9) is passed to the compressor;
    // without one each compressor uses its own default. `growing`, when given, hears of every
    // byte that reaches the file, of the end and of an unfinished file's abandonment.
    ArchiveWriteHandle(const std::filesystem::path& output, Content content,
                       TarCompression compression, std::optional<int> level,
                       GrowingFile* growing = nullptr,
                       XattrRecords xattrRecords = XattrRecords::schily);
    ~ArchiveWriteHandle();
    ArchiveWriteHandle(const ArchiveWriteHandle&) = delete;
    ArchiveWriteHandle& operator=(const ArchiveWriteHandle&) = delete;

    // Starts an entry; a file's data follows through write(), exactly `size` bytes.
    void begin(const TarWriteEntry& entry);
    // Starts a copy of an entry read from another archive under `path`, with everything else
    // it carries (owner and group by id and name, mode, times, extended attributes).
    void beginCopy(archive_entry* original, const std::string& path);
    // A copied hard link: a hard link to `target` (an entry written before), or without one a
    // file of `size` bytes whose data follows.
    void beginCopiedLink(archive_entry* original, const std::string& path,
                         const std::optional<std::string>& target, std::int64_t size);
    void write(const char* data, std::size_t size);
    // Ends the archive and the compressed stream and closes the file, reporting any failure.
    void finish();

  private:
    static ssize_t writeCallback(archive*, void* self, const void* data, std::size_t size);
    [[noreturn]] void fail();
    void reportLength();

    std::filesystem::path location_;
    XattrRecords xattrRecords_;
    files::FileDescriptor file_;
    std::unique_ptr<CompressingWriter> compressed_;
    archive* handle_ = nullptr;
    archive_entry* header_ = nullptr;
    GrowingFile* growing_;
    std::int64_t length_ = 0; // of the file
    std::int64_t reported_ = 0;
    std::exception_ptr sinkFailure_;
    bool discarding_ = false;
    bool finished_ = false;
};

} // namespace vexa::tar
