#include "SourceEntryWriter.h"

#include "SourceReadAhead.h"
#include "platform/Crc32.h"

#include <exception>

namespace vexa::tar {

namespace {

bool sameStatus(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace

void writeSourceEntries(ArchiveWriteHandle& writer, const SourceEntryMap& entries,
                        Progress& progress, SourceChecksums* checksums) {
    SourceReadAhead ahead(entries, progress);
    // The file being written: how it looked when its first piece was read, its checksum so
    // far, and whether every piece saw it unchanged.
    struct stat before {};
    timespec readAt{};
    std::uint32_t crc = 0;
    std::int64_t written = 0;
    bool unchanged = true;
    while (const SourceReadAhead::Piece* piece = ahead.next()) {
        progress.throwIfCancelled();
        if (piece->failure)
            std::rethrow_exception(piece->failure);
        const RARSourceEntry& source = *piece->source;
        if (piece->first) {
            before = piece->before;
            readAt = piece->readAt;
            writer.begin({*piece->path, source.isDirectory, source.isDirectory ? 0 : source.size,
                          static_cast<mode_t>(before.st_mode & 07777), before.st_mtim});
            crc = 0;
            written = 0;
            unchanged = true;
        }
        if (source.isDirectory) {
            progress.addCompletedUnits(1);
            continue;
        }
        unchanged = unchanged && sameStatus(before, piece->before) &&
                    sameStatus(piece->before, piece->after);
        if (piece->length > 0) {
            writer.write(piece->data, piece->length);
            crc = platform::crc32(crc, piece->data, piece->length);
            written += static_cast<std::int64_t>(piece->length);
            progress.addCompletedUnits(static_cast<std::int64_t>(piece->length));
        }
        if (!piece->last)
            continue;
        if (source.size == 0)
            progress.addCompletedUnits(1);
        else if (checksums != nullptr && unchanged && written == source.size)
            checksums->offer(source, crc, before, piece->after, readAt);
    }
}

} // namespace vexa::tar
