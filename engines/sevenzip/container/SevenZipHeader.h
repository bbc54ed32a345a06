#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The plain model of a 7z header, shared by the reader and the writer. Sizes and indices are
// as stored; the reader checks them before it fills the model, so code over a parsed model may
// trust every index in it.
namespace vexa::sevenzip {

struct StartHeader {
    std::uint64_t nextHeaderOffset = 0; // from the end of the start header
    std::uint64_t nextHeaderSize = 0;
    std::uint32_t nextHeaderCrc = 0;
    bool operator==(const StartHeader&) const = default;
    // The bytes the whole archive spans, start header included; nothing when that does not fit
    // a file offset.
    std::optional<std::uint64_t> archiveSize() const;
};

struct Coder {
    std::uint64_t methodId = 0;   // see method:: in SevenZipFormat.h
    std::uint32_t inStreams = 1;  // packed side
    std::uint32_t outStreams = 1; // unpacked side
    std::vector<std::uint8_t> properties;
    bool operator==(const Coder&) const = default;
};

// Feeds the output stream `outIndex` of the folder (counted over all coders) into its input
// stream `inIndex`.
struct BindPair {
    std::uint64_t inIndex = 0;
    std::uint64_t outIndex = 0;
    bool operator==(const BindPair&) const = default;
};

// One solid block: a graph of coders whose unbound inputs read packed streams and whose one
// unbound output is the folder's data.
struct Folder {
    std::vector<Coder> coders;
    std::vector<BindPair> bindPairs;
    // The folder's input stream fed by each of its packed streams, in pack stream order.
    std::vector<std::uint64_t> packedStreams;
    // One size per output stream of every coder, in coder order.
    std::vector<std::uint64_t> unpackSizes;
    std::optional<std::uint32_t> unpackCrc;
    bool operator==(const Folder&) const = default;

    std::uint64_t totalInStreams() const;
    std::uint64_t totalOutStreams() const;
    // The output stream bound to no input: the folder's data; nothing when there is none.
    std::optional<std::uint64_t> mainOutStream() const;
    std::uint64_t unpackSize() const;
};

struct StreamsInfo {
    // Offset of the first packed stream from the end of the start header.
    std::uint64_t packPosition = 0;
    std::vector<std::uint64_t> packSizes;
    std::vector<std::optional<std::uint32_t>> packCrcs; // empty or one per pack stream
    std::vector<Folder> folders;
    // Per folder, the number of files it holds (1 when the archive does not say).
    std::vector<std::uint64_t> unpackStreamCounts;
    // Per file stream, over all folders in order: its size and CRC.
    std::vector<std::uint64_t> substreamSizes;
    std::vector<std::optional<std::uint32_t>> substreamCrcs;
    bool operator==(const StreamsInfo&) const = default;
};

struct FileEntry {
    std::string name; // UTF-8, "/"-separated as stored (7z writes "/" on every system)
    bool hasStream = true;
    bool emptyFile = false; // without a stream: a file of 0 bytes rather than a folder
    bool anti = false;
    std::optional<std::uint32_t> attributes;
    std::optional<std::uint64_t> creationTime; // FILETIME
    std::optional<std::uint64_t> accessTime;
    std::optional<std::uint64_t> modificationTime;
    bool operator==(const FileEntry&) const = default;

    bool isDirectory() const;
    // The Unix mode in the upper attribute bits, when the writer put one there.
    std::optional<std::uint32_t> unixMode() const;
};

struct Header {
    StreamsInfo streams;
    std::vector<FileEntry> files;
    bool operator==(const Header&) const = default;
};

} // namespace vexa::sevenzip
