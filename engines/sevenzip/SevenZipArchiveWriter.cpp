#include "engines/sevenzip/SevenZipArchiveWriter.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipVolumeWriter.h"
#include "engines/sevenzip/container/SevenZipHeaderWriter.h"
#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"
#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <zlib.h>

namespace vexa {

namespace {

// A folder is closed at the first file boundary after this many input bytes, so that an edit
// re-encodes only the folders it touches.
constexpr std::uint64_t folderInputLimit = 64u << 20;
constexpr std::size_t startHeaderSize = 32;
const std::vector<std::uint8_t> lzma2Id{0x21};
const std::vector<std::uint8_t> copyId{0x00};

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::int64_t unixEpochTicks = 116444736000000000;

std::optional<std::uint64_t> fileTimeTicks(const std::optional<files::FileTime>& time) {
    if (!time)
        return std::nullopt;
    const auto ticks =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
            time->time_since_epoch())
            .count() +
        unixEpochTicks;
    if (ticks < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(ticks);
}

std::uint32_t crcOf(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    uLong value = crc;
    while (size > 0) {
        const auto chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        value = ::crc32(value, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<std::uint32_t>(value);
}

} // namespace

struct SevenZipArchiveWriter::State {
    State(const std::filesystem::path& location, std::int64_t volumeSize, int level,
          Progress& progress)
        : progress(progress), level(level), sink(location, volumeSize), pipeline(level, progress) {
        const std::uint8_t zeros[startHeaderSize] = {};
        sink.write(zeros, sizeof zeros);
        segment.reserve(pipeline.segmentSize());
    }

    Progress& progress;
    int level;
    SevenZipVolumeWriter sink;
    SevenZipSegmentPipeline pipeline;
    bool finished = false;

    std::vector<SevenZipFileRecord> files;
    std::vector<SevenZipFolderRecord> folders; // written in full
    std::optional<SevenZipFolderRecord> open;  // receiving file data
    std::uint64_t openInput = 0;
    std::deque<SevenZipFolderRecord> closed; // all segments submitted, not all written
    std::deque<bool> segmentEndsFolder;      // one per submitted segment, in order
    std::vector<std::uint8_t> segment;

    std::int64_t remaining = 0; // data bytes the current entry still expects
    std::uint32_t entryCrc = 0;
    std::uint64_t entrySize = 0;

    std::uint64_t packed = 0;       // bytes written after the start header
    std::uint64_t folderPacked = 0; // of the folder being written

    std::vector<SevenZipCoderRecord> coders() const {
        if (level == 0)
            return {{copyId, {}}};
        return {{lzma2Id, pipeline.properties()}};
    }

    void emit(const std::uint8_t* data, std::size_t size) {
        if (size == 0)
            return;
        sink.write(data, size);
        packed += size;
        folderPacked += size;
    }

    void writeOldest() {
        const bool endsFolder = segmentEndsFolder.front();
        const auto output = pipeline.takeOldest();
        segmentEndsFolder.pop_front();
        emit(output.data(), output.size());
        if (!endsFolder)
            return;
        if (level > 0) {
            const std::uint8_t end = SevenZipLzma2Encoder::endMarker;
            emit(&end, 1);
        }
        SevenZipFolderRecord folder = std::move(closed.front());
        closed.pop_front();
        folder.packSize = folderPacked;
        folderPacked = 0;
        folders.push_back(std::move(folder));
    }

    void submit(bool endsFolder) {
        while (pipeline.pending() >= pipeline.maxPending())
            writeOldest();
        pipeline.submit(std::move(segment));
        segmentEndsFolder.push_back(endsFolder);
        segment = std::vector<std::uint8_t>();
        segment.reserve(pipeline.segmentSize());
        while (pipeline.oldestIsReady())
            writeOldest();
    }

    void closeFolder() {
        SevenZipFolderRecord folder = std::move(*open);
        open.reset();
        folder.coders = coders();
        folder.unpackSizes = {openInput};
        openInput = 0;
        closed.push_back(std::move(folder));
        submit(true);
    }

    void append(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            const std::size_t room = pipeline.segmentSize() - segment.size();
            const std::size_t chunk = std::min(room, size);
            segment.insert(segment.end(), data, data + chunk);
            data += chunk;
            size -= chunk;
            if (segment.size() == pipeline.segmentSize())
                submit(false);
        }
    }

    // The header LZMA2-compressed into its own folder after the data; the start header then
    // points at the small block that describes that folder.
    std::vector<std::uint8_t> encodedHeader(const std::vector<std::uint8_t>& header) {
        SevenZipLzma2Encoder encoder(level);
        std::vector<std::uint8_t> output;
        encoder.compressSegment(header.data(), header.size(), output);
        output.push_back(SevenZipLzma2Encoder::endMarker);
        SevenZipFolderRecord folder;
        folder.coders = {{lzma2Id, encoder.properties()}};
        folder.unpackSizes = {header.size()};
        folder.crc = crcOf(header.data(), header.size());
        folder.packSize = output.size();
        const std::uint64_t position = packed;
        emit(output.data(), output.size());
        return serializeSevenZipEncodedHeader(folder, position);
    }

    [[noreturn]] static void fail() {
        throw ArchiveFailure::sevenZipFailure("no se pudo escribir el 7z.");
    }
};

SevenZipArchiveWriter::SevenZipArchiveWriter(const std::filesystem::path& location,
                                             std::int64_t volumeSize, int level, Progress& progress)
    : state_(std::make_unique<State>(location, volumeSize, level, progress)) {}

SevenZipArchiveWriter::~SevenZipArchiveWriter() = default;

const std::vector<std::filesystem::path>& SevenZipArchiveWriter::parts() const {
    return state_->sink.parts();
}

void SevenZipArchiveWriter::beginEntry(const std::string& path, files::FileType type,
                                       std::int64_t size, mode_t permissions,
                                       std::optional<files::FileTime> modificationDate) {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (state.remaining != 0 || state.finished || size < 0)
        State::fail();
    const bool isDirectory = type == files::FileType::directory;
    SevenZipFileRecord file;
    file.path = path;
    file.isDirectory = isDirectory;
    file.hasStream = !isDirectory && size > 0;
    file.attributes = sevenZipAttributes(isDirectory, permissions);
    file.modificationTime = fileTimeTicks(modificationDate);
    state.files.push_back(std::move(file));
    if (!state.files.back().hasStream)
        return;
    if (state.open && state.openInput >= folderInputLimit)
        state.closeFolder();
    if (!state.open)
        state.open.emplace();
    state.remaining = size;
    state.entrySize = static_cast<std::uint64_t>(size);
    state.entryCrc = 0;
}

void SevenZipArchiveWriter::writeData(const void* data, std::size_t size) {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (size > static_cast<std::uint64_t>(state.remaining))
        State::fail();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    state.entryCrc = crcOf(bytes, size, state.entryCrc);
    state.append(bytes, size);
    state.openInput += size;
    state.remaining -= static_cast<std::int64_t>(size);
    if (state.remaining == 0 && size > 0) {
        state.open->streamSizes.push_back(state.entrySize);
        state.open->streamCrcs.push_back(state.entryCrc);
    }
}

void SevenZipArchiveWriter::finish() {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (state.remaining != 0 || state.finished)
        State::fail();
    state.finished = true;
    if (state.open)
        state.closeFolder();
    while (state.pipeline.pending() > 0)
        state.writeOldest();

    // An archive without entries is the start header alone, pointing at an empty header.
    std::vector<std::uint8_t> header;
    if (!state.files.empty()) {
        // Entries without data go first: py7zr gives an empty file met between two files of a
        // later folder the data of the next one.
        std::stable_partition(state.files.begin(), state.files.end(),
                              [](const SevenZipFileRecord& file) { return !file.hasStream; });
        const auto plain = serializeSevenZipHeader(state.folders, state.files);
        header = state.level == 0 ? plain : state.encodedHeader(plain);
    }
    const std::uint64_t headerOffset = state.packed;
    state.sink.write(header.data(), header.size());
    const auto start = serializeSevenZipStartHeader(headerOffset, header);
    state.sink.overwriteStart(start.data(), start.size());
    state.sink.close();
}

} // namespace vexa
