#pragma once

#include "engines/zip/container/ZipFileInfo.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Byte layouts of the ZIP records and extra fields, apart from any file or stream.
namespace vexa::ziprecords {

inline constexpr uint32_t localHeaderSignature = 0x04034b50;
inline constexpr uint32_t centralHeaderSignature = 0x02014b50;
inline constexpr uint32_t endSignature = 0x06054b50;
inline constexpr uint32_t zip64EndSignature = 0x06064b50;
inline constexpr uint32_t zip64LocatorSignature = 0x07064b50;
inline constexpr uint32_t dataDescriptorSignature = 0x08074b50;

inline constexpr size_t localHeaderSize = 30;
inline constexpr size_t centralHeaderSize = 46;
inline constexpr size_t endSize = 22;
inline constexpr size_t zip64EndSize = 56;
inline constexpr size_t zip64LocatorSize = 20;
inline constexpr size_t maxCommentSize = 0xffff;

inline constexpr uint16_t flagEncrypted = 0x0001;
inline constexpr uint16_t flagDataDescriptor = 0x0008;
inline constexpr uint16_t flagStrongEncryption = 0x0040;
inline constexpr uint16_t flagUtf8 = 0x0800;
inline constexpr uint16_t methodStore = 0;
inline constexpr uint16_t methodDeflate = 8;
inline constexpr uint16_t methodAes = 99;

inline constexpr uint16_t extraZip64 = 0x0001;
inline constexpr uint16_t extraNtfs = 0x000a;
inline constexpr uint16_t extraUnix = 0x000d;
inline constexpr uint16_t extraTimestamp = 0x5455;
inline constexpr uint16_t extraAes = 0x9901;
inline constexpr uint16_t extraAlignment = 0xd935;

inline constexpr uint32_t max32 = 0xffffffff;
inline constexpr uint16_t max16 = 0xffff;

// MS-DOS date (high 16 bits) and time (low 16 bits), in local time.
int64_t unixTimeFromDos(uint32_t dosDate);
uint32_t dosTimeFromUnix(int64_t seconds);

// One central-directory record as read, owning the bytes the ZipFileInfo points at.
struct CentralEntry {
    ZipFileInfo info;
    uint16_t storedMethod = 0; // method field as stored: 99 for WinZip AES
    std::string filename;
    std::string extrafield;
    std::string comment;
    std::string linkname;
    bool hasLinkname = false;

    // Points the record's pointers at the owned bytes; needed after every change or copy.
    void bindPointers();
};

// Reads the fixed 46 bytes (signature already checked by the caller) and gives the lengths of
// the three variable parts that follow.
void readCentralFixed(const uint8_t* fixed, CentralEntry& entry, size_t* nameLength,
                      size_t* extraLength, size_t* commentLength);
// Applies the extra fields (ZIP64 values, times, link name, AES) to the record, and the DOS time
// when no field gave the modification time; format when a needed ZIP64 value is missing or the
// AES field is malformed.
int applyExtraFields(CentralEntry& entry);

// The extra fields of `extra` that a writer copies as they are: all but those it makes itself
// (ZIP64, extended timestamp, AES). A malformed tail is dropped.
std::string keptExtraFields(const uint8_t* extra, size_t length);
// All extra fields of `extra` but the ZIP64 one, which the writer makes from the record's values.
std::string extraFieldsBesideZip64(const uint8_t* extra, size_t length);

struct EndRecord {
    uint32_t lastDisk = 0;
    uint32_t cdDisk = 0;
    uint64_t entriesOnDisk = 0;
    uint64_t entries = 0;
    uint64_t cdSize = 0;
    uint64_t cdOffset = 0;
    bool zip64 = false;
};

// The classic end record at `record` (endSize bytes).
void readEnd(const uint8_t* record, EndRecord& end);
// A ZIP64 end record (zip64EndSize bytes, signature already checked) over the classic values.
void readZip64End(const uint8_t* record, EndRecord& end);

} // namespace vexa::ziprecords
