#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The 7z container's fixed numbers: signature, header property IDs and coder method IDs.
namespace vexa::sevenzip {

inline constexpr std::array<std::uint8_t, 6> signature = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
inline constexpr std::uint8_t versionMajor = 0;
// Readers of version 0.2 to 0.4 read what is written here.
inline constexpr std::uint8_t versionMinor = 4;
// Signature, version, start header CRC, next header offset, size and CRC.
inline constexpr std::size_t startHeaderSize = 32;

// Property IDs of the header's tagged records.
namespace property {
inline constexpr std::uint8_t end = 0x00;
inline constexpr std::uint8_t header = 0x01;
inline constexpr std::uint8_t archiveProperties = 0x02;
inline constexpr std::uint8_t additionalStreamsInfo = 0x03;
inline constexpr std::uint8_t mainStreamsInfo = 0x04;
inline constexpr std::uint8_t filesInfo = 0x05;
inline constexpr std::uint8_t packInfo = 0x06;
inline constexpr std::uint8_t unpackInfo = 0x07;
inline constexpr std::uint8_t substreamsInfo = 0x08;
inline constexpr std::uint8_t size = 0x09;
inline constexpr std::uint8_t crc = 0x0A;
inline constexpr std::uint8_t folder = 0x0B;
inline constexpr std::uint8_t codersUnpackSize = 0x0C;
inline constexpr std::uint8_t numUnpackStream = 0x0D;
inline constexpr std::uint8_t emptyStream = 0x0E;
inline constexpr std::uint8_t emptyFile = 0x0F;
inline constexpr std::uint8_t anti = 0x10;
inline constexpr std::uint8_t name = 0x11;
inline constexpr std::uint8_t creationTime = 0x12;
inline constexpr std::uint8_t accessTime = 0x13;
inline constexpr std::uint8_t modificationTime = 0x14;
inline constexpr std::uint8_t winAttributes = 0x15;
inline constexpr std::uint8_t comment = 0x16;
inline constexpr std::uint8_t encodedHeader = 0x17;
inline constexpr std::uint8_t startPosition = 0x18;
inline constexpr std::uint8_t dummy = 0x19;
} // namespace property

// Coder method IDs: the ID bytes read as one big-endian number (03 01 01 is 0x030101).
namespace method {
inline constexpr std::uint64_t copy = 0x00;
inline constexpr std::uint64_t delta = 0x03;
inline constexpr std::uint64_t lzma2 = 0x21;
inline constexpr std::uint64_t lzma = 0x030101;
inline constexpr std::uint64_t bcjX86 = 0x03030103;
inline constexpr std::uint64_t bcj2 = 0x0303011B;
inline constexpr std::uint64_t powerPc = 0x03030205;
inline constexpr std::uint64_t ia64 = 0x03030401;
inline constexpr std::uint64_t arm = 0x03030501;
inline constexpr std::uint64_t armThumb = 0x03030701;
inline constexpr std::uint64_t sparc = 0x03030805;
// Short IDs some writers use for the same branch filters.
inline constexpr std::uint64_t shortX86 = 0x04;
inline constexpr std::uint64_t shortPowerPc = 0x05;
inline constexpr std::uint64_t shortIa64 = 0x06;
inline constexpr std::uint64_t shortArm = 0x07;
inline constexpr std::uint64_t shortArmThumb = 0x08;
inline constexpr std::uint64_t shortSparc = 0x09;
inline constexpr std::uint64_t arm64 = 0x0A;
inline constexpr std::uint64_t ppmd = 0x030401;
inline constexpr std::uint64_t deflate = 0x040108;
inline constexpr std::uint64_t deflate64 = 0x040109;
inline constexpr std::uint64_t bzip2 = 0x040202;
inline constexpr std::uint64_t aes256 = 0x06F10701;
} // namespace method

// Windows attribute bits in the attributes property; a Unix mode rides in the upper 16 bits
// when unixExtension is set.
namespace attribute {
inline constexpr std::uint32_t readOnly = 0x01;
inline constexpr std::uint32_t directory = 0x10;
inline constexpr std::uint32_t archive = 0x20;
inline constexpr std::uint32_t unixExtension = 0x8000;
} // namespace attribute

// FILETIME (100 ns ticks since 1601-01-01) of the Unix epoch.
inline constexpr std::uint64_t unixEpochFileTime = 116444736000000000ULL;

} // namespace vexa::sevenzip
