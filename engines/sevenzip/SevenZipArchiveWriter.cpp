#include "engines/sevenzip/SevenZipArchiveWriter.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/SevenZipVolumeWriter.h"
#include "engines/sevenzip/container/SevenZipAes.h"
#include "engines/sevenzip/container/SevenZipHeaderWriter.h"
#include "engines/sevenzip/container/SevenZipLzma2Encoder.h"
#include "engines/sevenzip/container/SevenZipSegmentPipeline.h"
#include "platform/Crc32.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <openssl/rand.h>
#include <stdexcept>

namespace vexa {

namespace {

// A folder is closed at the first file boundary after this many input bytes (segments when
// compressed), so that an edit re-encodes only the folders it touches and extraction decodes
// several at once.
constexpr std::uint64_t storedFolderLimit = 16u << 20;
constexpr std::uint64_t segmentsPerFolder = 4;
constexpr std::size_t startHeaderSize = 32;
const std::vector<std::uint8_t> lzma2Id{0x21};
const std::vector<std::uint8_t> copyId{0x00};
const std::vector<std::uint8_t> aesId{0x06, 0xF1, 0x07, 0x01};

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
    return platform::crc32(crc, data, size);
}

} // namespace

struct SevenZipArchiveWriter::State {
    State(const std::filesystem::path& location, std::int64_t volumeSize, int level,
          const std::optional<std::string>& password, bool encryptHeaders, Progress& progress,
          std::uint64_t expectedInput)
        : progress(progress), level(level), encryptHeaders(password && encryptHeaders),
          sink(location, volumeSize),
          pipeline(std::make_unique<SevenZipSegmentPipeline>(level, progress, expectedInput)) {
        if (password) {
            // One salt for the archive, so the costly key is derived once; each folder and the
            // header get an IV of their own.
            aes = sevenzip::newAesProperties();
            aes->salt.resize(16);
            if (::RAND_bytes(aes->salt.data(), static_cast<int>(aes->salt.size())) != 1)
                throw std::runtime_error("no random bytes");
            key = sevenzip::deriveAesKey(*password, *aes);
        }
        const std::uint8_t zeros[startHeaderSize] = {};
        sink.write(zeros, sizeof zeros);
        segment.reserve(pipeline->segmentSize());
    }

    Progress& progress;
    int level;
    bool encryptHeaders;
    std::optional<sevenzip::AesProperties> aes; // the archive's salt and power, with a password
    std::optional<sevenzip::AesKey> key;
    std::deque<sevenzip::AesProperties> folderAes; // of the folders not yet written in full
    std::unique_ptr<sevenzip::AesCbc> cipher;      // of the folder being written
    std::vector<std::uint8_t> carry;               // plain bytes short of a whole block
    SevenZipVolumeWriter sink;
    // Released before the header is written: its encoders are the bulk of the memory.
    std::unique_ptr<SevenZipSegmentPipeline> pipeline;
    bool finished = false;

    std::vector<SevenZipFileRecord> files;
    std::vector<SevenZipFolderRecord> folders; // written in full
    std::optional<SevenZipFolderRecord> open;  // receiving file data
    std::uint64_t openInput = 0;
    std::deque<SevenZipFolderRecord> closed; // all segments submitted, not all written
    std::deque<bool> segmentEndsFolder;      // one per submitted segment, in order
    platform::SystemBytes segment;
    std::size_t segmentHistory = 0; // bytes at the front of `segment` from the segment before

    std::int64_t remaining = 0;     // data bytes the current entry still expects
    std::uint64_t rawRemaining = 0; // packed bytes the copied folder still expects
    std::size_t rawFiles = 0;       // files of the copied folder still to come
    std::uint32_t entryCrc = 0;
    std::uint64_t entrySize = 0;

    std::uint64_t packed = 0;       // bytes written after the start header
    std::uint64_t folderPacked = 0; // of the folder being written
    std::uint64_t folderCoded = 0;  // the same before encryption

    std::vector<SevenZipCoderRecord> coders(const std::vector<std::uint8_t>& properties,
                                            const sevenzip::AesProperties* folderAes) const {
        std::vector<SevenZipCoderRecord> chain;
        if (folderAes)
            chain.push_back({aesId, sevenzip::encodeAesProperties(*folderAes)});
        if (level == 0)
            chain.push_back({copyId, {}});
        else
            chain.push_back({lzma2Id, properties});
        return chain;
    }

    sevenzip::AesProperties newFolderAes() const {
        sevenzip::AesProperties properties = sevenzip::newAesProperties();
        properties.salt = aes->salt;
        properties.cyclesPower = aes->cyclesPower;
        return properties;
    }

    void write(const std::uint8_t* data, std::size_t size) {
        sink.write(data, size);
        packed += size;
        folderPacked += size;
    }

    // Folder bytes in order; with a password they go through the folder's cipher, whole blocks
    // at a time.
    void emit(const std::uint8_t* data, std::size_t size) {
        if (size == 0)
            return;
        folderCoded += size;
        if (!cipher) {
            write(data, size);
            return;
        }
        carry.insert(carry.end(), data, data + size);
        const std::size_t whole = carry.size() / sevenzip::aesBlockSize * sevenzip::aesBlockSize;
        cipher->process(carry.data(), whole);
        write(carry.data(), whole);
        carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(whole));
    }

    // The last block padded with zeros; the coder's unpack size says where the data ends.
    void endCipher() {
        if (!cipher)
            return;
        if (!carry.empty()) {
            carry.resize(sevenzip::aesBlockSize, 0);
            cipher->process(carry.data(), carry.size());
            write(carry.data(), carry.size());
            carry.clear();
        }
        cipher.reset();
    }

    void startCipher(const sevenzip::AesProperties& properties) {
        cipher = std::make_unique<sevenzip::AesCbc>(sevenzip::AesCbc::Direction::encrypt, *key,
                                                    properties.iv);
    }

    void writeOldest() {
        const bool endsFolder = segmentEndsFolder.front();
        const auto output = pipeline->takeOldest();
        segmentEndsFolder.pop_front();
        if (key && !cipher)
            startCipher(folderAes.front());
        emit(output.data(), output.size());
        if (!endsFolder)
            return;
        if (level > 0) {
            const std::uint8_t end = SevenZipLzma2Encoder::endMarker;
            emit(&end, 1);
        }
        endCipher();
        SevenZipFolderRecord folder = std::move(closed.front());
        closed.pop_front();
        if (key) {
            folderAes.pop_front();
            folder.unpackSizes.insert(folder.unpackSizes.begin(), folderCoded);
        }
        folder.packSize = folderPacked;
        folderPacked = 0;
        folderCoded = 0;
        folders.push_back(std::move(folder));
    }

    void submit(bool endsFolder) {
        while (pipeline->pending() >= pipeline->maxPending())
            writeOldest();
        // The next segment of the folder starts from the bytes before it.
        platform::SystemBytes next;
        next.reserve(pipeline->historySize() + pipeline->segmentSize());
        if (!endsFolder) {
            const std::size_t kept = std::min(pipeline->historySize(), segment.size());
            next.insert(next.end(), segment.end() - static_cast<std::ptrdiff_t>(kept),
                        segment.end());
        }
        pipeline->submit(std::move(segment), segmentHistory);
        segmentEndsFolder.push_back(endsFolder);
        segment = std::move(next);
        segmentHistory = segment.size();
        while (pipeline->oldestIsReady())
            writeOldest();
    }

    void openFolder() {
        open.emplace();
        if (key) {
            folderAes.push_back(newFolderAes());
            open->coders = coders(pipeline->properties(), &folderAes.back());
        } else {
            open->coders = coders(pipeline->properties(), nullptr);
        }
    }

    void closeFolder() {
        SevenZipFolderRecord folder = std::move(*open);
        open.reset();
        folder.unpackSizes = {openInput};
        openInput = 0;
        closed.push_back(std::move(folder));
        submit(true);
    }

    void append(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            const std::size_t room = pipeline->segmentSize() - (segment.size() - segmentHistory);
            const std::size_t chunk = std::min(room, size);
            segment.insert(segment.end(), data, data + chunk);
            data += chunk;
            size -= chunk;
            if (segment.size() - segmentHistory == pipeline->segmentSize())
                submit(false);
        }
    }

    // The header packed into its own folder after the data (LZMA2-compressed from level 1,
    // encrypted when the names are to be hidden); the start header then points at the small
    // block that describes that folder.
    std::vector<std::uint8_t> encodedHeader(const std::vector<std::uint8_t>& header) {
        platform::SystemBytes output;
        std::vector<std::uint8_t> properties;
        if (level == 0) {
            output.assign(header.begin(), header.end());
        } else {
            SevenZipLzma2Encoder encoder(level, header.size());
            encoder.compressSegment(header.data(), header.size(), 0, output);
            output.push_back(SevenZipLzma2Encoder::endMarker);
            properties = encoder.properties();
        }
        SevenZipFolderRecord folder;
        folder.unpackSizes = {header.size()};
        folder.crc = crcOf(header.data(), header.size());
        const std::uint64_t position = packed;
        folderPacked = 0;
        folderCoded = 0;
        std::optional<sevenzip::AesProperties> headerAes;
        if (encryptHeaders) {
            headerAes = newFolderAes();
            startCipher(*headerAes);
        }
        folder.coders = coders(properties, headerAes ? &*headerAes : nullptr);
        emit(output.data(), output.size());
        endCipher();
        if (headerAes)
            folder.unpackSizes.insert(folder.unpackSizes.begin(), folderCoded);
        folder.packSize = folderPacked;
        return serializeSevenZipEncodedHeader(folder, position);
    }

    [[noreturn]] static void fail() {
        throw ArchiveFailure::sevenZipFailure("no se pudo escribir el 7z.");
    }
};

SevenZipArchiveWriter::SevenZipArchiveWriter(const std::filesystem::path& location,
                                             std::int64_t volumeSize, int level,
                                             const std::optional<std::string>& password,
                                             bool encryptHeaders, Progress& progress,
                                             std::uint64_t expectedInput)
    : state_(std::make_unique<State>(location, volumeSize, level, password, encryptHeaders,
                                     progress, expectedInput)) {}

SevenZipArchiveWriter::~SevenZipArchiveWriter() = default;

const std::vector<std::filesystem::path>& SevenZipArchiveWriter::parts() const {
    return state_->sink.parts();
}

void SevenZipArchiveWriter::beginEntry(const std::string& path, files::FileType type,
                                       std::int64_t size, mode_t permissions,
                                       std::optional<files::FileTime> modificationDate) {
    beginCopiedEntry(path, type, size,
                     sevenZipAttributes(type == files::FileType::directory, permissions),
                     fileTimeTicks(modificationDate));
}

void SevenZipArchiveWriter::beginCopiedEntry(const std::string& path, files::FileType type,
                                             std::int64_t size, std::uint32_t attributes,
                                             std::optional<std::uint64_t> modificationTime,
                                             bool emptyStream) {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (state.remaining != 0 || state.rawRemaining != 0 || state.rawFiles != 0 || state.finished ||
        size < 0)
        State::fail();
    const bool isDirectory = type == files::FileType::directory;
    SevenZipFileRecord file;
    file.path = path;
    file.isDirectory = isDirectory;
    file.hasStream = !isDirectory && (size > 0 || emptyStream);
    file.attributes = attributes;
    file.modificationTime = modificationTime;
    state.files.push_back(std::move(file));
    if (!state.files.back().hasStream)
        return;
    const std::uint64_t folderLimit =
        state.level == 0 ? storedFolderLimit : segmentsPerFolder * state.pipeline->segmentSize();
    if (state.open && state.openInput >= folderLimit)
        state.closeFolder();
    if (!state.open)
        state.openFolder();
    state.remaining = size;
    state.entrySize = static_cast<std::uint64_t>(size);
    state.entryCrc = 0;
    if (size == 0) {
        state.open->streamSizes.push_back(0);
        state.open->streamCrcs.push_back(0);
    }
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

void SevenZipArchiveWriter::beginRawFolder(const SevenZipFolderRecord& folder) {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (state.remaining != 0 || state.finished)
        State::fail();
    // The folders before it must be in the file first.
    if (state.open)
        state.closeFolder();
    while (state.pipeline->pending() > 0)
        state.writeOldest();
    state.folderPacked = 0;
    state.folders.push_back(folder);
    state.rawRemaining = folder.packSize;
    state.rawFiles = folder.streamSizes.size();
}

void SevenZipArchiveWriter::writeRawData(const void* data, std::size_t size) {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (size > state.rawRemaining)
        State::fail();
    state.write(static_cast<const std::uint8_t*>(data), size);
    state.rawRemaining -= size;
    if (state.rawRemaining == 0)
        state.folderPacked = 0;
}

void SevenZipArchiveWriter::addRawFile(const std::string& path, std::uint32_t attributes,
                                       std::optional<std::uint64_t> modificationTime) {
    State& state = *state_;
    if (state.rawRemaining != 0 || state.rawFiles == 0)
        State::fail();
    --state.rawFiles;
    SevenZipFileRecord file;
    file.path = path;
    file.hasStream = true;
    file.attributes = attributes;
    file.modificationTime = modificationTime;
    state.files.push_back(std::move(file));
}

void SevenZipArchiveWriter::finish() {
    State& state = *state_;
    state.progress.throwIfCancelled();
    if (state.remaining != 0 || state.rawRemaining != 0 || state.rawFiles != 0 || state.finished)
        State::fail();
    state.finished = true;
    if (state.open)
        state.closeFolder();
    while (state.pipeline->pending() > 0)
        state.writeOldest();
    state.pipeline.reset();
    state.segment = platform::SystemBytes();

    // An archive without entries is the start header alone, pointing at an empty header.
    std::vector<std::uint8_t> header;
    if (!state.files.empty()) {
        // Entries without data go first: py7zr gives an empty file met between two files of a
        // later folder the data of the next one.
        std::stable_partition(state.files.begin(), state.files.end(),
                              [](const SevenZipFileRecord& file) { return !file.hasStream; });
        const auto plain = serializeSevenZipHeader(state.folders, state.files);
        header = state.level == 0 && !state.encryptHeaders ? plain : state.encodedHeader(plain);
    }
    const std::uint64_t headerOffset = state.packed;
    state.sink.write(header.data(), header.size());
    const auto start = serializeSevenZipStartHeader(headerOffset, header);
    state.sink.overwriteStart(start.data(), start.size());
    state.sink.close();
}

} // namespace vexa
