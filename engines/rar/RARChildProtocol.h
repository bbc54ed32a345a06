#pragma once

// What the RAR reading child (vexa-rar-reader) and the engine say to each other. The engine
// writes one request to the child's standard input and closes it; the child answers with a
// stream of events on descriptor 3, all integers little-endian as this machine stores them
// (both ends are the same build):
//
//   'O' i32 open error, u32 archive flags            once, first
//   'V' str volume name                              each volume the library moved on to
//   'H' i32 code; code 0: u32 flags, i64 unpacked, i64 packed, u32 mode, i64 time, str name;
//                 code 1003: str missing volume      after every header read
//   'D' u32 length, bytes                            tested data the engine asked for
//   'C' u32 length                                   tested bytes folded into the checksum
//   'P' i32 code, u32 crc; code 1003: str missing    after every skip or test
//   'E'                                              the walk is over (after a non-zero 'H')
//
// str is a u32 length and that many bytes. A child that ends without 'E' has crashed or been
// killed.

#include <cstdint>

namespace vexa::rarchild {

constexpr std::uint32_t requestMagic = 0x56585252; // "RRXV"
constexpr int eventDescriptor = 3;

// Which entries the child tests (the others are skipped); a file continued from an earlier
// volume is always skipped.
enum class Test : std::uint8_t { none, encryptedFiles, files, all };
// Where the data of a tested entry goes.
enum class Data : std::uint8_t { drop, checksum, send };

enum Event : char {
    openEvent = 'O',
    volumeEvent = 'V',
    headerEvent = 'H',
    dataEvent = 'D',
    countEvent = 'C',
    processedEvent = 'P',
    endEvent = 'E',
};

// Request: u32 magic, str archive path, u8 has password, [str password], u8 Test, u8 Data,
// u8 send every entry's data, u8 shard, u8 shards, u32 count, count × str wanted entry paths
// (as the engine lists them, folders with a final "/").
//
// Shards: in an archive that is not solid, skipping an entry costs a seek, so several children
// can share one walk: each reads every header but tests only the entries whose number (counted
// without continuations) modulo `shards` is its `shard`. A solid archive, and a volume set
// (testing a file that spans volumes reads past headers that skipping it meets), are walked by
// the child of shard 0 whatever the request says; the reader starts the other shards' children
// only once that child's open has shown that the archive can be shared.

constexpr std::uint32_t volumeArchive = 0x01;
constexpr std::uint32_t solidArchive = 0x08;
constexpr bool walkedAlone(std::uint32_t archiveFlags) {
    return (archiveFlags & (volumeArchive | solidArchive)) != 0;
}

// Longest text either side accepts in a record; the bridge's names are far shorter.
constexpr std::uint32_t maximumText = 1 << 16;

} // namespace vexa::rarchild
