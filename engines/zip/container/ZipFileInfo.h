#pragma once

#include <cstdint>

namespace vexa {

// What one entry's central-directory record says, and what a new entry is written with.
//
// Reading: filled by ZipHandle::entryGetInfo. The pointers point into the handle and stay valid
// until the handle moves to another entry or is closed; `filename` holds exactly
// `filename_size` raw bytes followed by a NUL (the bytes are never decoded here), `extrafield`
// and `comment` likewise, `linkname` is the NUL-terminated target from the Unix extra field
// (0x000d) or null. For a WinZip AES entry `compression_method` is the real method from the
// 0x9901 field, with `aes_version` (1 or 2) and `aes_strength` (1, 2, 3 = 128, 192, 256 bits).
// Dates are Unix seconds; `modified_date` comes from an NTFS or extended-timestamp field when
// the entry has one, else from the DOS time read as local time.
//
// Writing: ZipHandle::entryWriteOpen reads `version_madeby`, `flag` (bit 11 = UTF-8 name; for
// raw writes also bits 1-3), `compression_method`, `modified_date`, `filename` (NUL-terminated;
// its length is taken with strlen, `filename_size` is ignored), `extrafield` (kept except the
// fields the writer makes itself), `comment`, `internal_fa`, `external_fa`, `zip64`,
// `aes_version`, `aes_strength`, `dos_date`; for raw writes also `crc`, `compressed_size` and
// `uncompressed_size`; in normal writes `uncompressed_size` is the expected size (it decides
// whether the local header gets room for ZIP64 sizes). A record copied from entryGetInfo can be
// passed unchanged (with another `filename`) to copy an entry raw.
struct ZipFileInfo {
    uint16_t version_madeby = 0; // high byte: host system (3 Unix, 19 OS X)
    uint16_t version_needed = 0;
    uint16_t flag = 0;               // bit 0 encrypted, bit 3 data descriptor, bit 11 UTF-8 name
    uint16_t compression_method = 0; // 0 store, 8 deflate
    int64_t modified_date = 0;
    int64_t accessed_date = 0;
    int64_t creation_date = 0;
    uint32_t crc = 0;
    int64_t compressed_size = 0; // stored bytes, including any encryption header and trailer
    int64_t uncompressed_size = 0;
    uint16_t filename_size = 0;
    uint16_t extrafield_size = 0;
    uint16_t comment_size = 0;
    uint32_t disk_number = 0; // part holding the local header (0-based)
    int64_t disk_offset = 0;  // offset of the local header within that part
    uint16_t internal_fa = 0;
    uint32_t external_fa = 0; // Unix hosts: mode in the high 16 bits; low byte: DOS attributes
    const char* filename = nullptr;
    const uint8_t* extrafield = nullptr;
    const char* comment = nullptr;
    const char* linkname = nullptr;
    // Reading: 1 when the entry carries a ZIP64 field. Writing: 0 as needed, 1 always, 2 never.
    uint16_t zip64 = 0;
    uint16_t aes_version = 0; // 0: no WinZip AES
    uint8_t aes_strength = 0;
    // The raw MS-DOS date (high 16 bits) and time (low 16 bits) of the record. Writing: used
    // instead of `modified_date` for the DOS fields when not 0, so that a raw copy of a
    // traditionally encrypted entry keeps the time its password check byte may depend on.
    uint32_t dos_date = 0;
    // Writing a raw entry: when >= 0, the stored data's place in the file it is copied from. The
    // local header then gets a padding field (0xd935, Android's alignment field, claiming no
    // alignment) so that the data lands at the same place within a 4 KiB page, which lets the
    // kernel copy it page by page.
    int64_t source_data_offset = -1;
};

} // namespace vexa
