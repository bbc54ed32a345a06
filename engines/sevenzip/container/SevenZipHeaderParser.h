#pragma once

#include "engines/sevenzip/container/SevenZipHeader.h"

#include <cstddef>
#include <cstdint>

// Reading the header's bytes into the model. Every count, size and index is checked against
// the bytes that remain and against the model it refers to, so that lying values end in
// ArchiveFailure::sevenZipFailure instead of huge allocations or out-of-range indices; bind
// pairs must form a tree that reaches every coder once.
namespace vexa::sevenzip {

// Bytes 0 to 31 of the archive; nothing when they are not a 7z start header with a valid CRC.
std::optional<StartHeader> parseStartHeader(const std::uint8_t* data, std::size_t size);

// The header proper: it starts with property::header.
Header parseHeader(const std::uint8_t* data, std::size_t size);

// The streams info of an encoded header: it starts with property::encodedHeader.
StreamsInfo parseEncodedHeader(const std::uint8_t* data, std::size_t size);

// The same checks on a model built elsewhere (the encoded header's folders, fuzzed models).
void checkStreams(const StreamsInfo& streams);

} // namespace vexa::sevenzip
