#include "TarOutputCheck.h"

#include "TarEntryReader.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <vector>

namespace vexa::tar {

namespace {
constexpr std::size_t bufferSize = 256 * 1024;
}

std::string workFileName(TarCompression compression, bool singleFile) {
    std::string suffix;
    switch (compression) {
    case TarCompression::none:
        break;
    case TarCompression::gzip:
        suffix = ".gz";
        break;
    case TarCompression::bzip2:
        suffix = ".bz2";
        break;
    case TarCompression::xz:
        suffix = ".xz";
        break;
    case TarCompression::zstd:
        suffix = ".zst";
        break;
    }
    return singleFile ? "archivo" + suffix : "archivo.tar" + suffix;
}

ReadBackEntries readBack(const std::filesystem::path& archive, Progress& progress,
                         const std::string& mismatch, GrowingFile* growing) {
    TarEntryReader reader(archive, progress, false, growing);
    ReadBackEntries entries;
    std::vector<char> buffer(bufferSize);
    while (std::optional<TarEntryHeader> header = reader.next()) {
        progress.throwIfCancelled();
        if (header->kind == EntryKind::directory) {
            entries[header->path] = {ArchiveItem{header->path, 0, 0, true, false}, std::nullopt};
            progress.addCompletedUnits(1);
            continue;
        }
        if (header->kind == EntryKind::hardLink) {
            // The file it names, under its own name.
            auto target = entries.find(header->linkTarget);
            if (target == entries.end() || target->second.first.isDirectory || header->size != 0)
                throw ArchiveFailure::tarFailure(mismatch);
            ArchiveItem item = target->second.first;
            item.path = header->path;
            progress.addCompletedUnits(std::max<std::int64_t>(item.size, 1));
            entries[header->path] = {std::move(item), target->second.second};
            reader.skip();
            continue;
        }
        if (header->kind != EntryKind::file)
            throw ArchiveFailure::tarFailure(mismatch);
        std::uint32_t crc = 0;
        std::int64_t size = 0;
        while (std::size_t count = reader.read(buffer.data(), buffer.size())) {
            progress.throwIfCancelled();
            crc = platform::crc32(crc, buffer.data(), count);
            size += static_cast<std::int64_t>(count);
            progress.addCompletedUnits(static_cast<std::int64_t>(count));
        }
        if (size == 0)
            progress.addCompletedUnits(1);
        entries[header->path] = {ArchiveItem{header->path, size, size, false, false},
                                 static_cast<std::uint32_t>(crc)};
    }
    return entries;
}

ReadBackWhileWriting::ReadBackWhileWriting(const std::filesystem::path& archive, Progress& progress,
                                           const std::string& mismatch, GrowingFile& growing)
    : growing_(growing) {
    thread_ = std::thread([this, archive, &progress, mismatch] {
        try {
            entries_ = readBack(archive, progress, mismatch, &growing_);
        } catch (...) {
            failure_ = std::current_exception();
        }
    });
}

ReadBackWhileWriting::~ReadBackWhileWriting() {
    if (thread_.joinable()) {
        growing_.abandoned();
        thread_.join();
    }
}

ReadBackEntries ReadBackWhileWriting::result() {
    thread_.join();
    if (failure_)
        std::rethrow_exception(failure_);
    return std::move(entries_);
}

} // namespace vexa::tar
