#include "engines/sevenzip/container/SevenZipHeaderWriter.h"

#include "core/archive/ArchiveFailure.h"
#include "core/archive/SourceEntries.h"
#include "engines/sevenzip/container/SevenZipFormat.h"
#include "engines/sevenzip/container/SevenZipNumber.h"
#include "engines/sevenzip/container/Utf16.h"
#include "platform/Crc32.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <sys/stat.h>

namespace vexa {

namespace {

namespace id = sevenzip::property;

class ByteWriter {
  public:
    std::vector<std::uint8_t> bytes;

    void byte(std::uint8_t value) { bytes.push_back(value); }

    void number(std::uint64_t value) { sevenzip::appendNumber(bytes, value); }

    void uint32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }

    void uint64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i)
            byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }

    void append(const std::vector<std::uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
    }

    // Most significant bit first.
    void bits(const std::vector<bool>& flags) {
        std::uint8_t current = 0;
        int used = 0;
        for (bool flag : flags) {
            current = static_cast<std::uint8_t>(current | (flag ? 0x80 >> used : 0));
            if (++used == 8) {
                byte(current);
                current = 0;
                used = 0;
            }
        }
        if (used > 0)
            byte(current);
    }
};

void writeFolder(ByteWriter& out, const SevenZipFolderRecord& folder) {
    out.number(folder.coders.size());
    for (const auto& coder : folder.coders) {
        std::uint8_t flags = static_cast<std::uint8_t>(coder.id.size());
        if (!coder.properties.empty())
            flags |= 0x20;
        out.byte(flags);
        out.append(coder.id);
        if (!coder.properties.empty()) {
            out.number(coder.properties.size());
            out.append(coder.properties);
        }
    }
    // Coder i - 1's output is coder i's input; the first coder's input is the packed stream.
    for (std::size_t index = 1; index < folder.coders.size(); ++index) {
        out.number(index);
        out.number(index - 1);
    }
}

void writeStreams(ByteWriter& out, const std::vector<SevenZipFolderRecord>& folders,
                  std::uint64_t packPosition, bool withSubStreams) {
    out.byte(id::packInfo);
    out.number(packPosition);
    out.number(folders.size());
    out.byte(id::size);
    for (const auto& folder : folders)
        out.number(folder.packSize);
    out.byte(id::end);

    out.byte(id::unpackInfo);
    out.byte(id::folder);
    out.number(folders.size());
    out.byte(0); // not external
    for (const auto& folder : folders)
        writeFolder(out, folder);
    out.byte(id::codersUnpackSize);
    for (const auto& folder : folders)
        for (auto size : folder.unpackSizes)
            out.number(size);
    bool anyFolderCrc = false;
    for (const auto& folder : folders)
        anyFolderCrc = anyFolderCrc || folder.crc.has_value();
    if (anyFolderCrc) {
        out.byte(id::crc);
        std::vector<bool> defined;
        bool all = true;
        for (const auto& folder : folders) {
            defined.push_back(folder.crc.has_value());
            all = all && folder.crc.has_value();
        }
        out.byte(all ? 1 : 0);
        if (!all)
            out.bits(defined);
        for (const auto& folder : folders)
            if (folder.crc)
                out.uint32(*folder.crc);
    }
    out.byte(id::end);

    if (withSubStreams) {
        out.byte(id::substreamsInfo);
        out.byte(id::numUnpackStream);
        for (const auto& folder : folders)
            out.number(folder.streamSizes.size());
        out.byte(id::size);
        for (const auto& folder : folders)
            for (std::size_t index = 0; index + 1 < folder.streamSizes.size(); ++index)
                out.number(folder.streamSizes[index]);
        out.byte(id::crc);
        out.byte(1); // every CRC is given
        for (const auto& folder : folders)
            for (auto crc : folder.streamCrcs)
                out.uint32(crc);
        out.byte(id::end);
    }
    out.byte(id::end);
}

std::vector<std::uint8_t> utf16Name(const std::string& path) {
    // Never another name in its place: the caller said which entry this is.
    const auto units = text::utf16(path);
    if (!units)
        throw ArchiveFailure::sevenZipFailure(unstorableNameMessage(path));
    auto bytes = sevenzip::littleEndianUnits(*units);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

void writeProperty(ByteWriter& out, std::uint8_t id, const ByteWriter& body) {
    out.byte(id);
    out.number(body.bytes.size());
    out.append(body.bytes);
}

void writeFiles(ByteWriter& out, const std::vector<SevenZipFileRecord>& files) {
    out.byte(id::filesInfo);
    out.number(files.size());

    std::vector<bool> emptyStream;
    std::vector<bool> emptyFile;
    for (const auto& file : files) {
        emptyStream.push_back(!file.hasStream);
        if (!file.hasStream)
            emptyFile.push_back(!file.isDirectory);
    }
    if (emptyFile.size() > 0) {
        ByteWriter body;
        body.bits(emptyStream);
        writeProperty(out, id::emptyStream, body);
        bool anyEmptyFile = false;
        for (bool flag : emptyFile)
            anyEmptyFile = anyEmptyFile || flag;
        if (anyEmptyFile) {
            ByteWriter files;
            files.bits(emptyFile);
            writeProperty(out, id::emptyFile, files);
        }
    }

    ByteWriter names;
    names.byte(0); // not external
    for (const auto& file : files)
        names.append(utf16Name(file.path));
    writeProperty(out, id::name, names);

    std::vector<bool> timed;
    bool allTimed = true;
    bool anyTimed = false;
    for (const auto& file : files) {
        timed.push_back(file.modificationTime.has_value());
        allTimed = allTimed && file.modificationTime.has_value();
        anyTimed = anyTimed || file.modificationTime.has_value();
    }
    if (anyTimed) {
        ByteWriter times;
        times.byte(allTimed ? 1 : 0);
        if (!allTimed)
            times.bits(timed);
        times.byte(0); // not external
        for (const auto& file : files)
            if (file.modificationTime)
                times.uint64(*file.modificationTime);
        writeProperty(out, id::modificationTime, times);
    }

    ByteWriter attributes;
    attributes.byte(1); // all defined
    attributes.byte(0); // not external
    for (const auto& file : files)
        attributes.uint32(file.attributes);
    writeProperty(out, id::winAttributes, attributes);
    out.byte(id::end);
}

} // namespace

std::vector<std::uint8_t> serializeSevenZipHeader(const std::vector<SevenZipFolderRecord>& folders,
                                                  const std::vector<SevenZipFileRecord>& files) {
    ByteWriter out;
    out.byte(id::header);
    if (!folders.empty()) {
        out.byte(id::mainStreamsInfo);
        writeStreams(out, folders, 0, true);
    }
    if (!files.empty())
        writeFiles(out, files);
    out.byte(id::end);
    return std::move(out.bytes);
}

std::vector<std::uint8_t> serializeSevenZipEncodedHeader(const SevenZipFolderRecord& folder,
                                                         std::uint64_t packPosition) {
    ByteWriter out;
    out.byte(id::encodedHeader);
    writeStreams(out, {folder}, packPosition, false);
    return std::move(out.bytes);
}

std::array<std::uint8_t, 32> serializeSevenZipStartHeader(std::uint64_t headerOffset,
                                                          const std::vector<std::uint8_t>& header) {
    ByteWriter tail;
    tail.uint64(headerOffset);
    tail.uint64(header.size());
    tail.uint32(platform::crc32(0, header.data(), static_cast<std::size_t>(header.size())));
    std::array<std::uint8_t, 32> start{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    const auto tailCrc =
        platform::crc32(0, tail.bytes.data(), static_cast<std::size_t>(tail.bytes.size()));
    for (int i = 0; i < 4; ++i)
        start[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(tailCrc >> (8 * i));
    std::copy(tail.bytes.begin(), tail.bytes.end(), start.begin() + 12);
    return start;
}

std::uint32_t sevenZipAttributes(bool isDirectory, std::uint32_t permissions) {
    constexpr std::uint32_t windowsDirectory = 0x10;
    constexpr std::uint32_t windowsArchive = 0x20;
    constexpr std::uint32_t unixExtension = 0x8000;
    const std::uint32_t mode = (isDirectory ? S_IFDIR : S_IFREG) | (permissions & 07777);
    return (isDirectory ? windowsDirectory : windowsArchive) | unixExtension | (mode << 16);
}

} // namespace vexa
