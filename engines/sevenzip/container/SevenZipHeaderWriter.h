#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The byte layout of the header a 7z writer puts at the end of an archive, from plain records of
// what was written.
namespace vexa {

// One coder of a folder: its method id and properties.
struct SevenZipCoderRecord {
    std::vector<std::uint8_t> id;
    std::vector<std::uint8_t> properties;
};

// One folder (solid block) as written: a chain of single-stream coders where coders[0] reads the
// packed stream and each later coder reads the output of the one before it; the last one gives
// the folder's data. (py7zr reads chains only in this order.)
struct SevenZipFolderRecord {
    std::vector<SevenZipCoderRecord> coders;
    // Output size of each coder, in the order of `coders`.
    std::vector<std::uint64_t> unpackSizes;
    std::uint64_t packSize = 0;
    // CRC-32 of the whole folder's data, written only when set.
    std::optional<std::uint32_t> crc;
    // The files stored one after another in the folder: their sizes and CRC-32 values.
    std::vector<std::uint64_t> streamSizes;
    std::vector<std::uint32_t> streamCrcs;
};

// One entry of the archive in write order; the data of the entries with a stream lie in the
// folders in the same order.
struct SevenZipFileRecord {
    std::string path; // UTF-8, "/"-separated, no trailing "/"
    bool hasStream = false;
    bool isDirectory = false;
    std::uint32_t attributes = 0;
    std::optional<std::uint64_t> modificationTime; // 100 ns ticks since 1601
};

// The plain header: streams of `folders` (packed one after another from the end of the
// signature header) and the file properties.
std::vector<std::uint8_t> serializeSevenZipHeader(const std::vector<SevenZipFolderRecord>& folders,
                                                  const std::vector<SevenZipFileRecord>& files);

// The header that says the real header lies, packed through `folder`'s coders, at
// `packPosition` bytes after the signature header.
std::vector<std::uint8_t> serializeSevenZipEncodedHeader(const SevenZipFolderRecord& folder,
                                                         std::uint64_t packPosition);

// The 32 bytes at the start of an archive: signature, version and where the header lies.
std::array<std::uint8_t, 32> serializeSevenZipStartHeader(std::uint64_t headerOffset,
                                                          const std::vector<std::uint8_t>& header);

// The attributes 7z stores for an entry on this system: the Unix type and permission bits in the
// high half, flagged as such, beside the Windows folder or archive bit.
std::uint32_t sevenZipAttributes(bool isDirectory, std::uint32_t permissions);

} // namespace vexa
