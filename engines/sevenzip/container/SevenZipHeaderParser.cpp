#include "engines/sevenzip/container/SevenZipHeaderParser.h"

#include "core/archive/ArchiveFailure.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "engines/sevenzip/container/SevenZipNumber.h"
#include "engines/sevenzip/container/Utf16.h"
#include "platform/Crc32.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <limits>

namespace vexa::sevenzip {

namespace {

// Real folders chain a handful of coders; these bounds only stop absurd graphs.
constexpr std::uint64_t maxCoders = 32;
constexpr std::uint64_t maxCoderStreams = 32;

[[noreturn]] void malformed() {
    throw ArchiveFailure::sevenZipFailure("el archivo está dañado o no es un 7z válido.");
}

void require(bool condition) {
    if (!condition)
        malformed();
}

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    require(a <= std::numeric_limits<std::uint64_t>::max() - b);
    return a + b;
}

class Cursor {
  public:
    Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - position_; }
    bool atEnd() const { return position_ == size_; }

    std::uint8_t byte() {
        require(position_ < size_);
        return data_[position_++];
    }
    std::uint64_t number() {
        const auto value = readNumber(data_, size_, position_);
        require(value.has_value());
        return *value;
    }
    // A count of things that each take at least `bytesEach` of the remaining bytes, or bits
    // when `bits` is set.
    std::uint64_t count(std::uint64_t bytesEach = 1) {
        const std::uint64_t value = number();
        require(value <= remaining() / bytesEach);
        return value;
    }
    std::uint32_t uint32() {
        require(remaining() >= 4);
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t{data_[position_++]} << (8 * i);
        return value;
    }
    std::uint64_t uint64() {
        require(remaining() >= 8);
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value |= std::uint64_t{data_[position_++]} << (8 * i);
        return value;
    }
    const std::uint8_t* take(std::uint64_t length) {
        require(length <= remaining());
        const std::uint8_t* start = data_ + position_;
        position_ += static_cast<std::size_t>(length);
        return start;
    }
    std::vector<bool> bits(std::uint64_t count) {
        require(count / 8 <= remaining());
        std::vector<bool> result(static_cast<std::size_t>(count));
        std::uint8_t current = 0;
        for (std::size_t i = 0; i < result.size(); ++i) {
            if (i % 8 == 0)
                current = byte();
            result[i] = (current & (0x80 >> (i % 8))) != 0;
        }
        return result;
    }
    // "All defined" byte, then a bit vector when it is 0.
    std::vector<bool> definedBits(std::uint64_t count) {
        if (byte() != 0) {
            return std::vector<bool>(static_cast<std::size_t>(count), true);
        }
        return bits(count);
    }
    void expect(std::uint8_t id) { require(byte() == id); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

std::vector<std::optional<std::uint32_t>> readDigests(Cursor& cursor, std::uint64_t count) {
    const auto defined = cursor.definedBits(count);
    std::vector<std::optional<std::uint32_t>> digests(defined.size());
    for (std::size_t i = 0; i < defined.size(); ++i)
        if (defined[i])
            digests[i] = cursor.uint32();
    return digests;
}

void readPackInfo(Cursor& cursor, StreamsInfo& streams) {
    streams.packPosition = cursor.number();
    const std::uint64_t count = cursor.count();
    while (true) {
        const std::uint64_t id = cursor.number();
        if (id == property::end)
            break;
        if (id == property::size) {
            streams.packSizes.resize(static_cast<std::size_t>(count));
            for (auto& size : streams.packSizes)
                size = cursor.number();
        } else if (id == property::crc) {
            streams.packCrcs = readDigests(cursor, count);
        } else {
            malformed();
        }
    }
    require(streams.packSizes.size() == count);
}

Folder readFolder(Cursor& cursor) {
    Folder folder;
    const std::uint64_t coderCount = cursor.count();
    require(coderCount > 0 && coderCount <= maxCoders);
    for (std::uint64_t i = 0; i < coderCount; ++i) {
        const std::uint8_t flags = cursor.byte();
        // Bit 7 announces alternative methods, which no writer has ever produced.
        require((flags & 0xC0) == 0);
        const std::size_t idSize = flags & 0x0F;
        require(idSize <= 8);
        Coder coder;
        const std::uint8_t* id = cursor.take(idSize);
        for (std::size_t k = 0; k < idSize; ++k)
            coder.methodId = (coder.methodId << 8) | id[k];
        if (flags & 0x10) {
            const std::uint64_t ins = cursor.number();
            const std::uint64_t outs = cursor.number();
            require(ins >= 1 && ins <= maxCoderStreams && outs >= 1 && outs <= maxCoderStreams);
            coder.inStreams = static_cast<std::uint32_t>(ins);
            coder.outStreams = static_cast<std::uint32_t>(outs);
        }
        if (flags & 0x20) {
            const std::uint64_t length = cursor.count();
            const std::uint8_t* properties = cursor.take(length);
            coder.properties.assign(properties, properties + length);
        }
        folder.coders.push_back(std::move(coder));
    }
    const std::uint64_t outs = folder.totalOutStreams();
    const std::uint64_t ins = folder.totalInStreams();
    require(outs <= maxCoderStreams && ins <= maxCoderStreams);
    for (std::uint64_t i = 0; i + 1 < outs; ++i) {
        BindPair pair;
        pair.inIndex = cursor.number();
        pair.outIndex = cursor.number();
        folder.bindPairs.push_back(pair);
    }
    require(ins >= folder.bindPairs.size());
    const std::uint64_t packed = ins - folder.bindPairs.size();
    require(packed >= 1);
    if (packed == 1) {
        for (std::uint64_t index = 0; index < ins; ++index)
            if (std::none_of(folder.bindPairs.begin(), folder.bindPairs.end(),
                             [&](const BindPair& pair) { return pair.inIndex == index; })) {
                folder.packedStreams.push_back(index);
                break;
            }
    } else {
        for (std::uint64_t i = 0; i < packed; ++i)
            folder.packedStreams.push_back(cursor.number());
    }
    return folder;
}

void readUnpackInfo(Cursor& cursor, StreamsInfo& streams) {
    cursor.expect(property::folder);
    const std::uint64_t count = cursor.count();
    require(cursor.byte() == 0); // folders stored elsewhere: never written by anyone
    for (std::uint64_t i = 0; i < count; ++i)
        streams.folders.push_back(readFolder(cursor));
    cursor.expect(property::codersUnpackSize);
    for (auto& folder : streams.folders) {
        folder.unpackSizes.resize(static_cast<std::size_t>(folder.totalOutStreams()));
        for (auto& size : folder.unpackSizes)
            size = cursor.number();
    }
    while (true) {
        const std::uint64_t id = cursor.number();
        if (id == property::end)
            break;
        require(id == property::crc);
        const auto digests = readDigests(cursor, count);
        for (std::size_t i = 0; i < digests.size(); ++i)
            streams.folders[i].unpackCrc = digests[i];
    }
}

void readSubstreamsInfo(Cursor& cursor, StreamsInfo& streams) {
    const std::size_t folderCount = streams.folders.size();
    streams.unpackStreamCounts.assign(folderCount, 1);
    std::uint64_t id = cursor.number();
    if (id == property::numUnpackStream) {
        for (auto& count : streams.unpackStreamCounts)
            count = cursor.number();
        id = cursor.number();
    }
    // Every stream but the last of a folder has a stored size, so the total is bounded by the
    // bytes left plus one per folder.
    std::uint64_t total = 0;
    for (std::uint64_t count : streams.unpackStreamCounts)
        total = add(total, count);
    require(total <= cursor.remaining() + folderCount);

    for (std::size_t f = 0; f < folderCount; ++f) {
        const std::uint64_t count = streams.unpackStreamCounts[f];
        if (count == 0)
            continue;
        std::uint64_t sum = 0;
        if (id == property::size) {
            for (std::uint64_t i = 0; i + 1 < count; ++i) {
                const std::uint64_t size = cursor.number();
                streams.substreamSizes.push_back(size);
                sum = add(sum, size);
            }
        } else {
            require(count == 1);
        }
        const std::uint64_t folderSize = streams.folders[f].unpackSize();
        require(sum <= folderSize);
        streams.substreamSizes.push_back(folderSize - sum);
    }
    if (id == property::size)
        id = cursor.number();

    // CRCs: a folder of one stream with a folder CRC already has its stream's CRC.
    std::uint64_t unknown = 0;
    for (std::size_t f = 0; f < folderCount; ++f) {
        const std::uint64_t count = streams.unpackStreamCounts[f];
        if (!(count == 1 && streams.folders[f].unpackCrc))
            unknown += count;
    }
    std::vector<std::optional<std::uint32_t>> digests;
    while (id != property::end) {
        require(id == property::crc);
        digests = readDigests(cursor, unknown);
        id = cursor.number();
    }
    std::size_t next = 0;
    for (std::size_t f = 0; f < folderCount; ++f) {
        const std::uint64_t count = streams.unpackStreamCounts[f];
        if (count == 1 && streams.folders[f].unpackCrc) {
            streams.substreamCrcs.push_back(streams.folders[f].unpackCrc);
            continue;
        }
        for (std::uint64_t i = 0; i < count; ++i)
            streams.substreamCrcs.push_back(next < digests.size() ? digests[next++] : std::nullopt);
    }
}

void defaultSubstreams(StreamsInfo& streams) {
    streams.unpackStreamCounts.assign(streams.folders.size(), 1);
    for (const auto& folder : streams.folders) {
        streams.substreamSizes.push_back(folder.unpackSize());
        streams.substreamCrcs.push_back(folder.unpackCrc);
    }
}

StreamsInfo readStreamsInfo(Cursor& cursor) {
    StreamsInfo streams;
    bool substreams = false;
    while (true) {
        const std::uint64_t id = cursor.number();
        if (id == property::end)
            break;
        if (id == property::packInfo && streams.packSizes.empty()) {
            readPackInfo(cursor, streams);
        } else if (id == property::unpackInfo && streams.folders.empty()) {
            readUnpackInfo(cursor, streams);
        } else if (id == property::substreamsInfo && !substreams) {
            readSubstreamsInfo(cursor, streams);
            substreams = true;
        } else {
            malformed();
        }
    }
    if (!substreams)
        defaultSubstreams(streams);
    checkStreams(streams);
    return streams;
}

std::vector<std::optional<std::uint64_t>> readTimes(Cursor& cursor, std::uint64_t count) {
    const auto defined = cursor.definedBits(count);
    require(cursor.byte() == 0);
    std::vector<std::optional<std::uint64_t>> times(defined.size());
    for (std::size_t i = 0; i < defined.size(); ++i)
        if (defined[i])
            times[i] = cursor.uint64();
    return times;
}

void readFilesInfo(Cursor& cursor, Header& header) {
    // Each file has at least the two bytes ending its name.
    const std::uint64_t count = cursor.count(2);
    auto& files = header.files;
    files.resize(static_cast<std::size_t>(count));
    std::vector<bool> emptyStream(files.size(), false);
    std::size_t emptyCount = 0;
    bool named = files.empty();
    while (true) {
        const std::uint64_t id = cursor.number();
        if (id == property::end)
            break;
        const std::uint64_t size = cursor.number();
        Cursor record(cursor.take(size), static_cast<std::size_t>(size));
        switch (id) {
        case property::emptyStream:
            emptyStream = record.bits(count);
            emptyCount =
                static_cast<std::size_t>(std::count(emptyStream.begin(), emptyStream.end(), true));
            for (std::size_t i = 0; i < files.size(); ++i)
                files[i].hasStream = !emptyStream[i];
            break;
        case property::emptyFile:
        case property::anti: {
            const auto flags = record.bits(emptyCount);
            std::size_t k = 0;
            for (std::size_t i = 0; i < files.size(); ++i)
                if (emptyStream[i]) {
                    (id == property::anti ? files[i].anti : files[i].emptyFile) = flags[k];
                    ++k;
                }
            break;
        }
        case property::name: {
            require(record.byte() == 0);
            for (auto& file : files) {
                const std::uint8_t* start = record.take(0);
                std::size_t units = 0;
                while (true) {
                    const std::uint8_t* unit = record.take(2);
                    if (unit[0] == 0 && unit[1] == 0)
                        break;
                    ++units;
                }
                auto name = text::utf8(unitsFromLittleEndian(start, units));
                if (!name)
                    throw ArchiveFailure::sevenZipFailure(
                        "un nombre del archivo no se puede leer.");
                file.name = std::move(*name);
            }
            named = true;
            break;
        }
        case property::creationTime:
        case property::accessTime:
        case property::modificationTime: {
            const auto times = readTimes(record, count);
            for (std::size_t i = 0; i < files.size(); ++i)
                (id == property::creationTime ? files[i].creationTime
                 : id == property::accessTime ? files[i].accessTime
                                              : files[i].modificationTime) = times[i];
            break;
        }
        case property::winAttributes: {
            const auto defined = record.definedBits(count);
            require(record.byte() == 0);
            for (std::size_t i = 0; i < files.size(); ++i)
                if (defined[i])
                    files[i].attributes = record.uint32();
            break;
        }
        default:
            // Comments, start positions, padding and later additions carry nothing we use.
            break;
        }
    }
    require(named);
}

} // namespace

std::optional<std::uint64_t> StartHeader::archiveSize() const {
    constexpr std::uint64_t maximum = std::numeric_limits<std::int64_t>::max();
    if (nextHeaderOffset > maximum || nextHeaderSize > maximum - nextHeaderOffset ||
        nextHeaderOffset + nextHeaderSize > maximum - startHeaderSize)
        return std::nullopt;
    return startHeaderSize + nextHeaderOffset + nextHeaderSize;
}

std::optional<StartHeader> parseStartHeader(const std::uint8_t* data, std::size_t size) {
    if (size < startHeaderSize || !std::equal(signature.begin(), signature.end(), data))
        return std::nullopt;
    if (data[6] != versionMajor)
        return std::nullopt;
    Cursor cursor(data + 8, startHeaderSize - 8);
    const std::uint32_t crc = cursor.uint32();
    if (platform::crc32(0, data + 12, 20) != crc)
        return std::nullopt;
    StartHeader header;
    header.nextHeaderOffset = cursor.uint64();
    header.nextHeaderSize = cursor.uint64();
    header.nextHeaderCrc = cursor.uint32();
    return header;
}

Header parseHeader(const std::uint8_t* data, std::size_t size) {
    Cursor cursor(data, size);
    cursor.expect(property::header);
    Header header;
    std::uint64_t id = cursor.number();
    if (id == property::archiveProperties) {
        while (true) {
            const std::uint64_t type = cursor.number();
            if (type == 0)
                break;
            cursor.take(cursor.number());
        }
        id = cursor.number();
    }
    if (id == property::additionalStreamsInfo) {
        readStreamsInfo(cursor); // never used by writers; read only to step over it
        id = cursor.number();
    }
    if (id == property::mainStreamsInfo) {
        header.streams = readStreamsInfo(cursor);
        id = cursor.number();
    }
    if (id == property::filesInfo) {
        readFilesInfo(cursor, header);
        id = cursor.number();
    }
    require(id == property::end);

    const auto withStream = static_cast<std::size_t>(std::count_if(
        header.files.begin(), header.files.end(), [](const FileEntry& f) { return f.hasStream; }));
    require(withStream == header.streams.substreamSizes.size());
    return header;
}

StreamsInfo parseEncodedHeader(const std::uint8_t* data, std::size_t size) {
    Cursor cursor(data, size);
    cursor.expect(property::encodedHeader);
    StreamsInfo streams = readStreamsInfo(cursor);
    require(!streams.folders.empty());
    return streams;
}

void checkStreams(const StreamsInfo& streams) {
    require(streams.packCrcs.empty() || streams.packCrcs.size() == streams.packSizes.size());
    std::uint64_t packed = 0;
    for (std::uint64_t size : streams.packSizes)
        packed = add(packed, size);
    add(packed, streams.packPosition);

    std::uint64_t packStreams = 0;
    for (const auto& folder : streams.folders) {
        const std::uint64_t ins = folder.totalInStreams();
        const std::uint64_t outs = folder.totalOutStreams();
        require(!folder.coders.empty() && outs >= 1);
        require(folder.bindPairs.size() == outs - 1);
        require(folder.unpackSizes.size() == outs);
        std::vector<bool> inBound(static_cast<std::size_t>(ins), false);
        std::vector<bool> outBound(static_cast<std::size_t>(outs), false);
        for (const auto& pair : folder.bindPairs) {
            require(pair.inIndex < ins && pair.outIndex < outs);
            require(!inBound[pair.inIndex] && !outBound[pair.outIndex]);
            inBound[pair.inIndex] = true;
            outBound[pair.outIndex] = true;
        }
        require(folder.packedStreams.size() == ins - folder.bindPairs.size());
        for (std::uint64_t index : folder.packedStreams) {
            require(index < ins && !inBound[index]);
            inBound[index] = true;
        }
        // Walk from the folder's output through the coders: every coder once, no loop.
        std::vector<std::uint64_t> firstIn, firstOut;
        std::uint64_t in = 0, out = 0;
        for (const auto& coder : folder.coders) {
            firstIn.push_back(in);
            firstOut.push_back(out);
            in += coder.inStreams;
            out += coder.outStreams;
        }
        const auto coderOfOut = [&](std::uint64_t index) {
            return static_cast<std::size_t>(
                std::upper_bound(firstOut.begin(), firstOut.end(), index) - firstOut.begin() - 1);
        };
        const auto main = folder.mainOutStream();
        require(main.has_value());
        std::vector<bool> visited(folder.coders.size(), false);
        std::vector<std::size_t> pending{coderOfOut(*main)};
        std::size_t reached = 0;
        while (!pending.empty()) {
            const std::size_t coder = pending.back();
            pending.pop_back();
            require(!visited[coder]);
            visited[coder] = true;
            ++reached;
            for (std::uint64_t k = 0; k < folder.coders[coder].inStreams; ++k) {
                const std::uint64_t index = firstIn[coder] + k;
                for (const auto& pair : folder.bindPairs)
                    if (pair.inIndex == index)
                        pending.push_back(coderOfOut(pair.outIndex));
            }
        }
        require(reached == folder.coders.size());
        packStreams = add(packStreams, folder.packedStreams.size());
    }
    require(packStreams <= streams.packSizes.size());
    require(streams.unpackStreamCounts.size() == streams.folders.size());
    std::uint64_t substreams = 0;
    for (std::uint64_t count : streams.unpackStreamCounts)
        substreams = add(substreams, count);
    require(substreams == streams.substreamSizes.size() &&
            substreams == streams.substreamCrcs.size());
}

} // namespace vexa::sevenzip
