#include "core/archive/ArchiveFailure.h"
#include "engines/zip/ZIPBackgroundCopy.h"
#include "engines/zip/ZIPReader.h"
#include "engines/zip/ZIPRewriteSteps.h"
#include "engines/zip/ZIPWriter.h"
#include "engines/zip/container/ZipStatus.h"
#include "platform/FileOperations.h"
#include "platform/PlatformError.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace vexa::ziprewrite {

namespace {

// Bytes copied between two looks at cancellation.
constexpr std::uint64_t copyPiece = std::uint64_t{1} << 24;
// Bytes that must follow a new local header before it is padded to keep them in place.
constexpr std::int64_t largeCopy = std::int64_t{1} << 20;

// Where the entries of a one-file archive lie, as file positions.
struct Layout {
    std::vector<std::uint64_t> positions; // local headers, in the directory's order
    std::vector<std::uint64_t> starts;    // the same, ascending
    std::uint64_t directory = 0;
    std::uint64_t bias = 0;

    // What lies before the first entry (or the directory): a self-extracting stub.
    std::uint64_t prefix() const {
        return starts.empty() ? directory : std::min(starts.front(), directory);
    }
    // An entry reaches to the next one, or to the directory: its header, data and descriptor.
    std::uint64_t endOf(std::uint64_t start) const {
        const auto next = std::upper_bound(starts.begin(), starts.end(), start);
        return next != starts.end() ? std::min(*next, directory) : directory;
    }
};

std::uint64_t positionOf(ZIPReader& reader, const ZipFileInfo& info, std::uint64_t bias) {
    std::uint64_t position = 0;
    ZIPArchiveEngine::check(reader.zip->getSetPosition(
        info.disk_number, static_cast<std::uint64_t>(info.disk_offset), false, &position));
    return position + bias;
}

Layout layoutOf(ZIPReader& reader) {
    Layout layout;
    ZIPArchiveEngine::check(reader.zip->getBias(&layout.bias));
    ZIPArchiveEngine::check(reader.zip->getSetPosition(0, 0, true, &layout.directory));
    layout.directory += layout.bias;
    for (int status = reader.handle->gotoFirstEntry(); status == zipstatus::ok;
         status = reader.handle->gotoNextEntry())
        layout.positions.push_back(positionOf(reader, reader.currentInfo(), layout.bias));
    layout.starts = layout.positions;
    if (!std::is_sorted(layout.starts.begin(), layout.starts.end()))
        std::sort(layout.starts.begin(), layout.starts.end());
    return layout;
}

// Moves forward to the kept entry `path`, counting in `index` the records passed; a name is
// decoded only when its bytes are not the path itself.
void moveTo(ZIPReader& reader, int& status, const std::string& path, std::size_t& index) {
    while (true) {
        if (status != zipstatus::ok) {
            ZIPArchiveEngine::check(status);
            throw ArchiveFailure::corrupt("ZIP (código " + std::to_string(status) + ")");
        }
        const ZipFileInfo& info = reader.currentInfo();
        const std::string_view stored(info.filename, info.filename_size);
        if (text::isValidUTF8(stored) ? stored == path
                                      : ZIPArchiveEngine::entryName(reader) == path)
            return;
        status = reader.handle->gotoNextEntry();
        ++index;
    }
}

PlannedEntry planOf(const ZipFileInfo& info) {
    PlannedEntry plan;
    plan.crc = info.crc;
    plan.compressedSize = info.compressed_size;
    plan.uncompressedSize = info.uncompressed_size;
    plan.method = info.compression_method;
    plan.aesVersion = info.aes_version;
    plan.encrypted = (info.flag & 1) != 0;
    return plan;
}

std::uint64_t writeOffset(ZIPWriter& writer) {
    std::uint64_t offset = 0;
    ZIPArchiveEngine::check(writer.zip->getWriteOffset(&offset));
    return offset;
}

// Leaves `length` bytes of the new archive to `copy`, which fills them from `start` of the
// archive, as `units` of the progress object.
void handOver(ZIPWriter& writer, ZIPBackgroundCopy& copy, std::uint64_t start, std::uint64_t length,
              std::int64_t units) {
    const std::uint64_t offset = writeOffset(writer);
    ZIPArchiveEngine::check(writer.zip->skipData(length));
    copy.add(start, length, offset, units);
}

// Where the stored bytes of the entry whose local header lies at `start` begin.
std::uint64_t dataStart(int source, std::uint64_t start, std::uint64_t end, const ZipFileInfo& info,
                        const std::string& path) {
    unsigned char header[30];
    std::size_t have = 0;
    while (have < sizeof header) {
        const ssize_t count =
            ::pread(source, header + have, sizeof header - have, static_cast<off_t>(start + have));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw PlatformError::fromErrno(errno, path, false);
        if (count == 0)
            throw ArchiveFailure::archiveChanged();
        have += static_cast<std::size_t>(count);
    }
    const auto le16 = [&](std::size_t at) {
        return static_cast<std::uint64_t>(header[at] | (header[at + 1] << 8));
    };
    const std::uint64_t data = start + 30 + le16(26) + le16(28);
    if (le16(0) != 0x4b50 || le16(2) != 0x0403 ||
        data + static_cast<std::uint64_t>(info.compressed_size) > end)
        throw ArchiveFailure::corrupt(path);
    return data;
}

void copyOneFile(const std::filesystem::path& archive, ZIPReader& reader, ZIPWriter& writer,
                 ZIPBackgroundCopy& copy, const std::vector<ArchiveItem>& kept,
                 const std::map<std::string, std::string>& renames, Progress& progress,
                 std::vector<PlannedEntry>& planned) {
    const Layout layout = layoutOf(reader);
    files::FileDescriptor source(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0)
        throw PlatformError::fromErrno(errno, archive.string(), false);
    if (layout.prefix() > 0)
        handOver(writer, copy, 0, layout.prefix(), 0);

    // Entries that follow one another in the file, copied as one range; a long run is handed
    // over as it grows, so that the copy starts while the records are still being made.
    struct Run {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t offset = 0; // where it goes in the new archive
        std::int64_t entries = 0;
        std::uint64_t handed = 0; // bytes from start on already handed over
        std::int64_t handedEntries = 0;
    } run;
    const auto handRun = [&] {
        if (run.entries > run.handedEntries)
            handOver(writer, copy, run.start + run.handed, run.end - run.start - run.handed,
                     run.entries - run.handedEntries);
        run.handed = run.end - run.start;
        run.handedEntries = run.entries;
    };
    const auto flush = [&] {
        handRun();
        run = Run{};
    };

    int status = reader.handle->gotoFirstEntry();
    std::size_t index = 0;
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const ArchiveItem& entry = kept[k];
        progress.throwIfCancelled();
        moveTo(reader, status, entry.path, index);
        const ZipFileInfo& info = reader.currentInfo();
        const std::string& name = newName(entry, renames);
        const std::uint64_t start = layout.positions.at(index);
        const std::uint64_t end = layout.endOf(start);
        PlannedEntry plan = planOf(info);
        ZipFileInfo header = info;
        // An entry whose name stays is copied as it lies, local header and descriptor included,
        // whatever its flags say: its record keeps them, so readers find the two in agreement
        // and the archive grows by nothing for it.
        if (name == entry.path) {
            if (run.entries == 0 || run.end != start) {
                flush();
                run.start = start;
                run.offset = writeOffset(writer);
            }
            plan.offset = run.offset + (start - run.start);
            run.end = end;
            ++run.entries;
            ZIPArchiveEngine::check(writer.zip->addCopiedEntry(&header, plan.offset));
            if (run.end - run.start - run.handed >= copyPiece)
                handRun();
        } else {
            flush();
            const std::uint64_t data = dataStart(source.get(), start, end, info, entry.path);
            plan.offset = writeOffset(writer);
            plan.checkData = true;
            // The new name is written as UTF-8.
            header.flag |= 0x0800;
            // Padding (at most a page) that puts the data back at its place within a page pays
            // only where at least a megabyte is copied after it, so that it never adds more than
            // a small fraction to the archive.
            const bool wholeFollow =
                k + 1 < kept.size() && newName(kept[k + 1], renames) == kept[k + 1].path;
            if (info.compressed_size >= largeCopy ||
                (wholeFollow && layout.directory - end >= largeCopy))
                header.source_data_offset = static_cast<std::int64_t>(data);
            writer.openRawEntry(name, header);
            handOver(writer, copy, data, static_cast<std::uint64_t>(info.compressed_size), 1);
            ZIPArchiveEngine::check(writer.zip->entryWriteClose(info.crc, info.compressed_size,
                                                                info.uncompressed_size));
        }
        planned.push_back(plan);
        status = reader.handle->gotoNextEntry();
        ++index;
    }
    flush();
}

// A split set: each entry is read raw through the reader, which follows it across parts.
void copyThroughReader(const std::filesystem::path& archive, ZIPReader& reader, ZIPWriter& writer,
                       const std::vector<ArchiveItem>& kept,
                       const std::map<std::string, std::string>& renames, Progress& progress,
                       std::vector<PlannedEntry>& planned, int bufferSize) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(bufferSize, 1)));
    int status = reader.handle->gotoFirstEntry();
    std::size_t index = 0;
    for (const ArchiveItem& entry : kept) {
        progress.throwIfCancelled();
        moveTo(reader, status, entry.path, index);
        ZipFileInfo header = reader.currentInfo();
        header.flag |= 0x0800;
        PlannedEntry plan = planOf(header);
        ZIPArchiveEngine::check(reader.zip->entryReadOpen(1, nullptr));
        plan.offset = writeOffset(writer);
        writer.openRawEntry(newName(entry, renames), header);

        auto child = std::make_shared<Progress>(std::max<std::int64_t>(header.compressed_size, 1));
        progress.addChild(child, 1);
        std::int64_t copied = 0;
        while (true) {
            progress.throwIfCancelled();
            const std::int32_t count =
                reader.zip->entryRead(buffer.data(), static_cast<std::int32_t>(buffer.size()));
            ZIPArchiveEngine::check(count);
            if (count == 0)
                break;
            const std::int32_t written = writer.zip->entryWrite(buffer.data(), count);
            ZIPArchiveEngine::check(written);
            if (written != count)
                throw PlatformError(PlatformError::Code::fileWriteUnknown, archive.string());
            copied += count;
            child->setCompletedUnitCount(copied);
        }
        std::uint32_t crc = 0;
        std::int64_t compressedSize = 0;
        std::int64_t uncompressedSize = 0;
        ZIPArchiveEngine::check(
            reader.zip->entryReadClose(&crc, &compressedSize, &uncompressedSize));
        ZIPArchiveEngine::check(writer.zip->entryWriteClose(crc, compressedSize, uncompressedSize));
        child->setCompletedUnitCount(child->totalUnitCount());
        planned.push_back(plan);
        status = reader.handle->gotoNextEntry();
    }
}

} // namespace

const std::string& newName(const ArchiveItem& entry,
                           const std::map<std::string, std::string>& renames) {
    const auto renamed = renames.find(entry.path);
    return renamed != renames.end() ? renamed->second : entry.path;
}

void copyKeptEntries(const std::filesystem::path& archive, ZIPBackgroundCopy* copy,
                     ZIPReader& reader, ZIPWriter& writer, const std::vector<ArchiveItem>& kept,
                     const std::map<std::string, std::string>& renames, Progress& progress,
                     std::vector<PlannedEntry>& planned, int bufferSize) {
    if (copy != nullptr)
        copyOneFile(archive, reader, writer, *copy, kept, renames, progress, planned);
    else
        copyThroughReader(archive, reader, writer, kept, renames, progress, planned, bufferSize);
}

} // namespace vexa::ziprewrite
